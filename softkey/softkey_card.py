"""The softkey program as a card on a vpcd reader, driven from Python (the independent client test and the
side-by-side benchmark): the reader's port lock, the program and its standard-input commands, and waiting for
the card to reach pcscd or leave it. Needs Debian's python3-fido2 and pyscard (run with /usr/bin/python3).
"""
import fcntl
import subprocess
import time

PORT = 35963
READER = "Virtual PCD 00 00"


def lock_reader(port=PORT):
    """Holds the same port lock the C++ card tests take, for as long as the returned file stays open."""
    lock = open("/tmp/marrowtillance-vpcd-%d.lock" % port, "a+")
    fcntl.flock(lock, fcntl.LOCK_EX)
    return lock


class SoftKey:
    def __init__(self, program, *options, port=PORT):
        self.proc = subprocess.Popen([program, "--port", str(port), *options],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline().strip()
        if line != "ready":
            raise RuntimeError("softkey did not start: %r" % line)

    def ask(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        return self.proc.stdout.readline().strip()

    def command(self, line):
        answer = self.ask(line)
        if answer != "ok":
            raise RuntimeError("softkey command %r: %r" % (line, answer))

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=10)


def connect(reader=READER):
    """python-fido2's device for the card on the reader, once pcscd has seen it."""
    from fido2.pcsc import CtapPcscDevice

    deadline = time.time() + 10
    while time.time() < deadline:
        for dev in CtapPcscDevice.list_devices(reader):
            return dev
        time.sleep(0.1)
    raise RuntimeError("no card on " + reader)


def wait_until_reader_empty(reader=READER):
    """pcscd notices a removal at its next poll; the next user of this reader must not see a stale card."""
    from smartcard import scard

    result, ctx = scard.SCardEstablishContext(scard.SCARD_SCOPE_USER)
    if result != scard.SCARD_S_SUCCESS:
        return
    try:
        states = [(reader, scard.SCARD_STATE_UNAWARE)]
        deadline = time.time() + 5
        while time.time() < deadline:
            result, found = scard.SCardGetStatusChange(ctx, 500, states)
            if result == scard.SCARD_S_SUCCESS:
                if found[0][1] & scard.SCARD_STATE_EMPTY:
                    return
                states = [(found[0][0], found[0][1] & ~scard.SCARD_STATE_CHANGED)]
    finally:
        scard.SCardReleaseContext(ctx)
