"""The real program as a person uses it: on an X server (Xvfb), with the software card on the first virtual
reader, driven by real mouse and keyboard events (xdotool) through Set PIN and Change PIN, then quit with the
Exit button while a reset waits for the card. The card itself tells whether the PIN really changed. A second
launch meanwhile only brings the first forward.

Usage: /usr/bin/python3 app_end_to_end.py <marrowtillance program> <softkey program>
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "softkey"))
from softkey_card import SoftKey, lock_reader, wait_until_reader_empty  # noqa: E402

LIMIT = 20  # seconds for any one step

# Window coordinates of what the test presses (the window is 1024 x 530, without frame).
FIRST_ROW = (300, 210)
FIRST_BUTTON = (100, 104)  # "Set PIN", or "Change PIN" once the key has a PIN
RESET_BUTTON = (256, 104)  # beside "Change PIN"
EXIT_BUTTON = (980, 40)


def count(card, what):
    """What the card counted so far: its APDUs or its answered CTAP requests."""
    return int(card.ask(what).split()[1])


def wait_for(what, check):
    deadline = time.time() + LIMIT
    while time.time() < deadline:
        value = check()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError("timed out waiting for " + what)


class Display:
    def __init__(self):
        self.number = None
        for number in range(90, 140):
            if not os.path.exists("/tmp/.X11-unix/X%d" % number) and not os.path.exists("/tmp/.X%d-lock" % number):
                self.number = number
                break
        self.name = ":%d" % self.number
        self.proc = subprocess.Popen(["Xvfb", self.name, "-screen", "0", "1280x800x24", "-nolisten", "tcp"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for("the X server", lambda: self.run(["xdotool", "getdisplaygeometry"], check=False) is not None)

    def run(self, args, check=True):
        env = dict(os.environ, DISPLAY=self.name)
        done = subprocess.run(args, env=env, capture_output=True, text=True)
        if done.returncode != 0:
            if check:
                raise AssertionError("%s: %s" % (" ".join(args), done.stderr.strip()))
            return None
        return done.stdout

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=10)


def main():
    program, softkey_program = sys.argv[1], sys.argv[2]
    lock = lock_reader()
    home = tempfile.mkdtemp(prefix="marrowtillance-e2e-")
    display = Display()
    card = SoftKey(softkey_program)
    app = None
    try:
        env = dict(os.environ, DISPLAY=display.name, HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"),
                   XDG_RUNTIME_DIR=home, QT_QPA_PLATFORM="xcb")
        app = subprocess.Popen([program], env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        window = wait_for("the window", lambda: (display.run(
            ["xdotool", "search", "--onlyvisible", "--name", "^Marrowtillance$"], check=False) or "").split())[0]

        # A second launch finds the first running, asks it to come forward, and ends without a window.
        second = subprocess.run([program], env=env, capture_output=True, text=True, timeout=LIMIT)
        if second.returncode != 0 or "already running" not in second.stdout:
            raise AssertionError("the second launch ended with %d:\n%s" % (second.returncode, second.stdout))
        windows = display.run(["xdotool", "search", "--onlyvisible", "--name", "^Marrowtillance$"]).split()
        if windows != [window]:
            raise AssertionError("windows after a second launch: %s" % windows)

        def click(at):
            display.run(["xdotool", "mousemove", "--window", window, str(at[0]), str(at[1]), "click", "1"])

        def keys(*names):
            display.run(["xdotool", "key", "--window", window, "--delay", "30"] + list(names))

        def type_text(text):
            display.run(["xdotool", "type", "--window", window, "--delay", "30", text])

        def select_card():
            # The card is listed once it has been read; a selection makes it wink, which the card sees as
            # APDUs. Until the row is there a click selects nothing, so it is clicked until the card winks.
            def selected():
                before = count(card, "apdus")
                click(FIRST_ROW)
                deadline = time.time() + 1
                while time.time() < deadline:
                    if count(card, "apdus") > before:
                        return True
                    time.sleep(0.05)
                return False
            wait_for("the selection", selected)

        def fill_pin_page(*pins):
            # The page opens with the keyboard in its first field; OK follows the last field.
            click(FIRST_BUTTON)
            for index, pin in enumerate(pins):
                if index:
                    keys("Tab")
                type_text(pin)
            keys("Tab", "Return")

        # CTAP requests the card answers: reading it (getInfo, PIN retries) 2, setting or changing a PIN 2
        # (key agreement, the PIN command); back on the list the selected card is read again, and the outcome
        # is shown before that second reading ends.
        wait_for("the card to be read", lambda: count(card, "requests") >= 2)
        select_card()
        fill_pin_page("4321", "4321")
        wait_for("the new PIN on the card", lambda: card.ask("pin 4321") == "yes")
        wait_for("the card to be read again", lambda: count(card, "requests") >= 6)
        keys("Return")  # the outcome's OK

        select_card()
        fill_pin_page("4321", "86420", "86420")
        wait_for("the changed PIN on the card", lambda: card.ask("pin 86420") == "yes")
        wait_for("the card to be read again", lambda: count(card, "requests") >= 10)
        keys("Return")

        # A reset waits for the card to be tapped twice. The first tap is read (the card sees APDUs) but not
        # listed, so the prompt is up by then; Exit still ends the program cleanly.
        select_card()
        click(RESET_BUTTON)
        keys("Return")  # agrees to the warning
        before = count(card, "apdus")
        card.command("tap")
        wait_for("the first tap to be read", lambda: count(card, "apdus") > before)
        click(EXIT_BUTTON)
        code = app.wait(timeout=LIMIT)
        output = app.stdout.read()
        if code != 0:
            raise AssertionError("the program ended with %d:\n%s" % (code, output))
        if "Virtual PCD 00 00: card present" not in output:
            raise AssertionError("the program never saw the card:\n" + output)
        app = None
        print("1 passed, 0 failed")
    finally:
        if app is not None:
            app.kill()
            print(app.stdout.read())
        card.stop()
        wait_until_reader_empty()
        display.stop()
        shutil.rmtree(home, ignore_errors=True)


if __name__ == "__main__":
    main()
