"""Runs the CTAP benchmark sequence with our client (bench_ctap) and with python3-fido2 against the same virtual
card, in the same run, and prints the median time of each step for both and the ratio ours / python-fido2.

Usage (Debian's interpreter, the one that sees python3-fido2 and pyscard; pcscd with vsmartcard-vpcd running):
  /usr/bin/python3 bench/ctap_side_by_side.py [--build build/release] [--runs 5]

The card is a softkey program on "Virtual PCD 00 00" (vpcd port 35963), held under the same port lock the card
tests take. Before every run of either client it is made blank and loaded with 50 relying parties x 2
credentials; the sequence is: device info (getInfo, PIN retries), set PIN, change PIN, token, enumerate every
relying party and its credentials, delete 10 credentials.
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

from fido2.ctap2 import Ctap2
from fido2.ctap2.credman import CredentialManagement
from fido2.ctap2.pin import ClientPin

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "softkey"))
from softkey_card import READER, SoftKey, connect, lock_reader, wait_until_reader_empty  # noqa: E402

RPS = 50
CREDS_PER_RP = 2
DELETIONS = 10
PIN = "1234"
NEW_PIN = "24680"
STEPS = ["device info", "set PIN", "change PIN", "token", "enumerate 50x2", "delete 10"]
RESULT = CredentialManagement.RESULT


def fixtures():
    lines = []
    for rp in range(RPS):
        rp_id = "rp%d.example" % rp
        lines.append('rp id=%s name="Relying Party %d"' % (rp_id, rp))
        for c in range(CREDS_PER_RP):
            user = "%02X%02X" % (rp, c)
            lines.append('credential rp=%s user=%s userName=user%s displayName="User %s"' % (rp_id, user, user, user))
    return "\n".join(lines) + "\n"


def apdu_count(key):
    return int(key.ask("apdus").split()[1])


def python_run(key):
    """One run with python-fido2: the time of each step in milliseconds, and the APDUs of each step."""
    dev = connect()
    state = {}

    def device_info():
        state["ctap"] = Ctap2(dev)
        state["pin"] = ClientPin(state["ctap"])
        state["pin"].get_pin_retries()

    def set_pin():
        state["pin"].set_pin(PIN)

    def change_pin():
        state["pin"].change_pin(PIN, NEW_PIN)

    def token():
        t = state["pin"].get_pin_token(NEW_PIN, ClientPin.PERMISSION.CREDENTIAL_MGMT)
        state["cm"] = CredentialManagement(state["ctap"], state["pin"].protocol, t)

    def enumerate_all():
        cm = state["cm"]
        rps = cm.enumerate_rps()
        assert len(rps) == RPS, "relying parties listed: %d" % len(rps)
        state["delete"] = []
        for rp in rps:
            creds = cm.enumerate_creds(rp[RESULT.RP_ID_HASH])
            assert len(creds) == CREDS_PER_RP
            if len(state["delete"]) < DELETIONS:
                state["delete"].append(creds[0][RESULT.CREDENTIAL_ID])

    def delete():
        for cred_id in state["delete"]:
            state["cm"].delete_cred(cred_id)

    times, apdus = [], []
    for step in (device_info, set_pin, change_pin, token, enumerate_all, delete):
        before = apdu_count(key)
        start = time.perf_counter()
        step()
        times.append((time.perf_counter() - start) * 1000.0)
        apdus.append(apdu_count(key) - before)
    dev.close()
    return times, apdus


def our_run(bench):
    out = subprocess.run([bench, "--reader", READER], capture_output=True, text=True, timeout=60)
    if out.returncode != 0:
        raise RuntimeError("bench_ctap failed: " + out.stderr.strip())
    times = {}
    for line in out.stdout.splitlines():
        if line.startswith("step "):
            name, value = line[5:].rsplit(" ", 1)
            times[name] = float(value)
    return [times[s] for s in STEPS]


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(root, "build", "release"))
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    softkey = os.path.join(args.build, "softkey", "softkey")
    bench = os.path.join(args.build, "bench", "bench_ctap")
    for program in (softkey, bench):
        if not os.access(program, os.X_OK):
            sys.exit("missing %s: build the release configuration first" % program)

    lock = lock_reader()
    wait_until_reader_empty()
    with tempfile.NamedTemporaryFile("w", suffix=".fixtures", delete=False) as f:
        f.write(fixtures())
    key = SoftKey(softkey, "--capacity", str(2 * RPS * CREDS_PER_RP), "--touch", "given", "--touch-delay", "0")
    ours, theirs, their_apdus = [], [], None
    try:
        for _ in range(max(1, args.runs)):
            # Alternate the clients so that drift on the machine touches both alike.
            key.command("reload " + f.name)
            times, their_apdus = python_run(key)
            theirs.append(times)
            key.command("reload " + f.name)
            before = apdu_count(key)
            ours.append(our_run(bench))
            our_apdus = apdu_count(key) - before
    finally:
        key.stop()
        os.unlink(f.name)
        wait_until_reader_empty()

    print("CTAP sequence on the virtual card, median of %d runs (%d relying parties x %d credentials)"
          % (len(ours), RPS, CREDS_PER_RP))
    print("%-16s %12s %14s %8s %14s" % ("step", "ours ms", "fido2 ms", "ratio", "fido2 APDUs"))
    for i, step in enumerate(STEPS):
        mine = statistics.median(run[i] for run in ours)
        other = statistics.median(run[i] for run in theirs)
        ratio = mine / other if other > 0 else float("nan")
        print("%-16s %12.3f %14.3f %8.2f %14d" % (step, mine, other, ratio, their_apdus[i]))
    print("APDUs of one run: ours %d (with the applet select and deselect), python-fido2 %d in the steps"
          % (our_apdus, sum(their_apdus)))


if __name__ == "__main__":
    main()
