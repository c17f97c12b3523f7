"""Usage: /usr/bin/python3 app_end_to_end.py <marrowtillance program> <softkey program>
The real program on Xvfb, driven by real input events (xdotool), with the software card on the first virtual reader:
Set PIN and Change PIN (the card tells whether its PIN changed), then Exit while a reset waits for the card. It
starts over the lock of a program that died; later launches only bring it forward."""
import os
import pathlib
import shutil
import socket
import subprocess
import struct
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "softkey"))
from softkey_card import SoftKey, lock_reader, wait_until_reader_empty  # noqa: E402

LIMIT = 20  # seconds for any one step
# In the frameless 1024 x 530 window; the first button is Set PIN, or Change PIN once the card has a PIN. The button
# bar stays bare at EMPTY_BAR whatever is selected.
FIRST_ROW, FIRST_BUTTON, RESET_BUTTON, EXIT_BUTTON = (300, 210), (100, 104), (256, 104), (980, 40)
EMPTY_BAR = (900, 104)


def expect(ok, why):
    if not ok:
        raise AssertionError(why)


def wait_for(what, check, limit=LIMIT):
    """check's first true value; after the limit, a failure naming what is awaited, or None without a name."""
    deadline = time.time() + limit
    while time.time() < deadline:
        value = check()
        if value:
            return value
        time.sleep(0.05)
    expect(what is None, "timed out waiting for %s" % what)


def main():
    program, softkey_program = sys.argv[1], sys.argv[2]
    reader_lock = lock_reader()  # noqa: F841 (held until the end)
    wait_until_reader_empty()  # a card an earlier test left is seen until pcscd's next poll
    home = pathlib.Path(tempfile.mkdtemp(prefix="marrowtillance-e2e-"))
    ready, told = os.pipe()  # Xvfb picks a free display and names it once it takes clients
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(told), "-screen", "0", "1280x800x24", "-nolisten", "tcp"],
                            pass_fds=(told,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(told)
    env = dict(os.environ, DISPLAY=":" + os.read(ready, 16).decode().strip(), HOME=str(home),
               XDG_CONFIG_HOME=str(home / ".config"), XDG_RUNTIME_DIR=str(home), QT_QPA_PLATFORM="xcb")
    card = SoftKey(softkey_program)
    app = None

    def x(*args, check=True):
        done = subprocess.run(args, env=env, capture_output=True, text=True)
        expect(done.returncode == 0 or not check, "%s: %s" % (" ".join(args), done.stderr.strip()))
        return done.stdout if done.returncode == 0 else None

    def count(what):  # the card's APDUs or its answered CTAP requests so far
        return int(card.ask(what).split()[1])

    try:
        # The lock of a program that died: it names a process that is gone.
        dead = subprocess.run(["sh", "-c", "echo $$"], capture_output=True, text=True).stdout.strip()
        lock = home / "marrowtillance.lock"
        lock.write_text("%s\nMarrowtillance\n%s\n" % (dead, socket.gethostname()))
        app = subprocess.Popen([program], env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        find = ["xdotool", "search", "--onlyvisible", "--name", "^Marrowtillance$"]
        window = wait_for("the window", lambda: (x(*find, check=False) or "").split())[0]
        expect(lock.read_text().split()[0] == str(app.pid), "the program did not take the dead one's lock over")
        for _ in range(2):
            later = subprocess.run([program], env=env, capture_output=True, text=True, timeout=LIMIT)
            expect(later.returncode == 0 and "already running" in later.stdout,
                   "a later launch ended with %d:\n%s" % (later.returncode, later.stdout))
        expect(x(*find).split() == [window], "more than one window: " + x(*find))

        def click(at):
            x("xdotool", "mousemove", "--window", window, str(at[0]), str(at[1]), "click", "1")

        def keys(*names):
            x("xdotool", "key", "--window", window, "--delay", "30", *names)

        def pixel(at):  # the colour the window shows at a point, as xwd grabs it
            dump = subprocess.run(["xwd", "-silent", "-id", window], env=env, capture_output=True, check=True).stdout
            head = struct.unpack(">25I", dump[:100])
            header_size, byte_order, bits_per_pixel, bytes_per_line, ncolors = (head[0], head[7], head[11],
                                                                              head[12], head[19])
            offset = header_size + 12 * ncolors + at[1] * bytes_per_line + at[0] * bits_per_pixel // 8
            raw = dump[offset:offset + bits_per_pixel // 8]
            return int.from_bytes(raw, "little" if byte_order == 0 else "big") & 0xFFFFFF

        def select_card():
            # A selected card shows its buttons: the first button's place no longer shows the bare bar. Until the
            # card is listed a click selects nothing, so the click is repeated until the buttons come.
            def selected():
                click(FIRST_ROW)
                return wait_for(None, lambda: pixel(FIRST_BUTTON) != pixel(EMPTY_BAR), 1)
            wait_for("the selection", selected)

        # CTAP requests the card answers: reading it (getInfo, PIN retries) 2, setting or changing a PIN 2 (key
        # agreement, the PIN command); back on the list the card is read again, and the outcome is shown before
        # that reading ends. The PIN page opens with the keyboard in its first field; OK follows the last field.
        wait_for("the card to be read", lambda: count("requests") >= 2)
        for pins, requests in ((("4321", "4321"), 6), (("4321", "86420", "86420"), 10)):
            select_card()
            click(FIRST_BUTTON)
            x("xdotool", "type", "--window", window, "--delay", "30", "\t".join(pins))
            keys("Tab", "Return")
            wait_for("the new PIN on the card", lambda: card.ask("pin " + pins[-1]) == "yes")
            wait_for("the card to be read again", lambda: count("requests") >= requests)
            keys("Return")  # the outcome's OK

        # A reset waits for two taps. The first is read (the card sees APDUs) but not listed, so the prompt is
        # up by then; Exit still ends the program cleanly.
        select_card()
        click(RESET_BUTTON)
        keys("Return")  # agrees to the warning
        before = count("apdus")
        card.command("tap")
        wait_for("the first tap to be read", lambda: count("apdus") > before)
        click(EXIT_BUTTON)
        code, output = app.wait(timeout=LIMIT), app.stdout.read()
        app = None
        expect(code == 0 and "Virtual PCD 00 00: card present" in output,
               "the program ended with %d:\n%s" % (code, output))
    finally:
        if app is not None:
            app.kill()
            print(app.stdout.read())
        card.stop()
        wait_until_reader_empty()
        xvfb.terminate()
        xvfb.wait(timeout=10)
        shutil.rmtree(home, ignore_errors=True)


if __name__ == "__main__":
    main()
