"""The software key against an independent CTAP 2 client (Debian's python3-fido2) through pcscd, on the card the
softkey program puts on "Virtual PCD 00 00". Usage: /usr/bin/python3 independent_client_test.py <softkey>"""
import hashlib
import os
import sys
import tempfile

from fido2.ctap import CtapError
from fido2.ctap2 import Ctap2
from fido2.ctap2.credman import CredentialManagement
from fido2.ctap2.pin import ClientPin, PinProtocolV1, PinProtocolV2

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from softkey_card import SoftKey, connect, lock_reader, wait_until_reader_empty  # noqa: E402

ERR = CtapError.ERR
RESULT = CredentialManagement.RESULT
CM = ClientPin.PERMISSION.CREDENTIAL_MGMT
FIXTURES = """
rp id=fixture.example name="Fixture RP"
credential rp=fixture.example user=F1F2F3 userName=fixture displayName="Fixture User" protect=2
"""


def check(condition, what):
    if not condition:
        raise AssertionError(what)


def expect_error(code, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except CtapError as e:
        return check(e.code == code, "expected %s, got %s" % (code.name, e.code))
    raise AssertionError("expected %s, the call succeeded" % code.name)


def round_with(dev, proto, fixtures):
    """One key without a PIN under one PIN protocol, holding `fixtures` credentials loaded from the fixtures file."""
    ctap = Ctap2(dev)
    info = ctap.info
    check("FIDO_2_1" in info.versions and info.pin_uv_protocols == [2, 1], "getInfo versions and protocols")
    check(info.options.get("clientPin") is False, "no PIN announced before setPIN")
    check(len(info.aaguid) == 16 and info.min_pin_length == 4, "aaguid and minPINLength")
    check(info.remaining_disc_creds == 25 - fixtures, "remaining discoverable credentials")
    cp = ClientPin(ctap, proto)
    cp.set_pin("1234")
    check(cp.get_pin_retries()[0] == 8, "retries after setPIN")
    expect_error(ERR.NOT_ALLOWED, cp.set_pin, "5678")
    check(Ctap2(dev).info.options.get("clientPin") is True, "clientPin true once set")
    expect_error(ERR.PIN_INVALID, cp.get_pin_token, "0000", CM)
    check(cp.get_pin_retries()[0] == 7, "a wrong PIN costs a try")
    cp.get_pin_token("1234", CM)
    check(cp.get_pin_retries()[0] == 8, "the right PIN gives the tries back")
    expect_error(ERR.PIN_INVALID, cp.get_pin_token, "0000", CM)
    cp.change_pin("1234", "24680")
    expect_error(ERR.PIN_INVALID, cp.get_pin_token, "1234", CM)
    check(cp.get_pin_retries()[0] == 7, "the old PIN is wrong now, the change gave the tries back")
    expect_error(ERR.PIN_INVALID, cp.change_pin, "1234", "13579")

    # A resident credential, made with a token bound to its relying party and signed with the new key.
    token = cp.get_pin_token("24680", ClientPin.PERMISSION.MAKE_CREDENTIAL, "example.com")
    cdh = hashlib.sha256(b"client data").digest()
    user = {"id": b"user-1", "name": "alice", "displayName": "Alice A"}
    alg = [{"type": "public-key", "alg": -7}]
    att = ctap.make_credential(cdh, {"id": "example.com"}, user, alg, options={"rk": True},
                               pin_uv_param=proto.authenticate(token, cdh), pin_uv_protocol=proto.VERSION)
    auth = att.auth_data
    check(auth.rp_id_hash == hashlib.sha256(b"example.com").digest(), "rpIdHash")
    check(auth.is_user_present() and auth.is_user_verified() and auth.is_attested(), "flags UP UV AT")
    cred = auth.credential_data
    cred.public_key.verify(bytes(auth) + cdh, att.att_statement["sig"])
    expect_error(ERR.PIN_AUTH_INVALID, ctap.make_credential, cdh, {"id": "other.example"}, {"id": b"u"}, alg,
                 pin_uv_param=proto.authenticate(token, cdh), pin_uv_protocol=proto.VERSION)

    # Credential management needs its own permission.
    expect_error(ERR.PIN_AUTH_INVALID, CredentialManagement(ctap, proto, token).get_metadata)
    cm = CredentialManagement(ctap, proto, cp.get_pin_token("24680", CM))
    meta = cm.get_metadata()
    check(meta[RESULT.EXISTING_CRED_COUNT] == 1 + fixtures, "existing count")
    check(meta[RESULT.MAX_REMAINING_COUNT] == 24 - fixtures, "remaining count")
    rps = cm.enumerate_rps()
    check(sorted(r[RESULT.RP]["id"] for r in rps) == ["example.com"] + ["fixture.example"] * fixtures,
          "relying parties")
    check(rps[0][RESULT.TOTAL_RPS] == 1 + fixtures, "totalRPs")
    for r in rps:
        check(r[RESULT.RP_ID_HASH] == hashlib.sha256(r[RESULT.RP]["id"].encode()).digest(), "rpIDHash")
    if fixtures:
        fixture = cm.enumerate_creds(hashlib.sha256(b"fixture.example").digest())
        check(len(fixture) == 1 and fixture[0][RESULT.USER]["name"] == "fixture", "fixture credential")
        check(fixture[0][RESULT.CRED_PROTECT] == 2, "fixture credProtect")
    creds = cm.enumerate_creds(hashlib.sha256(b"example.com").digest())
    check(len(creds) == 1 and creds[0][RESULT.TOTAL_CREDENTIALS] == 1, "one credential for example.com")
    check(creds[0][RESULT.USER] == user, "user entity")
    check(creds[0][RESULT.CREDENTIAL_ID]["id"] == cred.credential_id, "credential id")
    check(creds[0][RESULT.PUBLIC_KEY] == dict(cred.public_key), "credential public key")
    cm.delete_cred(creds[0][RESULT.CREDENTIAL_ID])
    check(cm.get_metadata()[RESULT.EXISTING_CRED_COUNT] == fixtures, "count after delete")
    check(cm.enumerate_creds(hashlib.sha256(b"example.com").digest()) == [], "no credentials after delete")
    expect_error(ERR.NO_CREDENTIALS, cm.delete_cred, creds[0][RESULT.CREDENTIAL_ID])
    return ctap


def main():
    lock = lock_reader()  # noqa: F841 (held until the process ends)
    with tempfile.NamedTemporaryFile("w", suffix=".fixtures", delete=False) as f:
        f.write(FIXTURES)
    key = SoftKey(sys.argv[1], "--fixtures", f.name, "--touch-delay", "150")
    try:
        dev = connect()
        # The fixture credential is there until the first reset.
        for fixtures, proto in [(1, PinProtocolV1()), (0, PinProtocolV2())]:
            ctap = round_with(dev, proto, fixtures)
            key.command("window close")
            expect_error(ERR.NOT_ALLOWED, ctap.reset)
            key.command("window open")
            ctap.reset()
            check(Ctap2(dev).info.options.get("clientPin") is False, "no PIN after reset")

        # Three wrong PINs in a row block PIN use until the next power-up: a new tap of the card.
        cp = ClientPin(Ctap2(dev), PinProtocolV2())
        cp.set_pin("1234")
        for pin, error in [("1111", ERR.PIN_INVALID), ("2222", ERR.PIN_INVALID), ("3333", ERR.PIN_AUTH_BLOCKED),
                           ("1234", ERR.PIN_AUTH_BLOCKED)]:
            expect_error(error, cp.get_pin_token, pin, CM)
        dev.close()
        key.command("tap")
        dev = connect()
        cp = ClientPin(Ctap2(dev), PinProtocolV2())
        check(cp.get_pin_retries()[0] == 5, "the tries left survive the power-up")
        cp.get_pin_token("1234", CM)
        check(cp.get_pin_retries()[0] == 8, "the right PIN gives the tries back")
        dev.close()
    finally:
        key.stop()
        os.unlink(f.name)
        wait_until_reader_empty()


if __name__ == "__main__":
    main()
