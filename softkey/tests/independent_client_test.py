"""The software key against an independent CTAP 2 client (Debian's python3-fido2) through pcscd, on the card the
softkey program puts on "Virtual PCD 00 00". Usage: /usr/bin/python3 independent_client_test.py <softkey>"""
import hashlib
import os
import sys

from fido2.ctap import CtapError
from fido2.ctap2 import Ctap2
from fido2.ctap2.credman import CredentialManagement
from fido2.ctap2.pin import ClientPin, PinProtocolV1, PinProtocolV2

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from softkey_card import SoftKey, connect, lock_reader, wait_until_reader_empty  # noqa: E402

ERR = CtapError.ERR
RESULT = CredentialManagement.RESULT
CM = ClientPin.PERMISSION.CREDENTIAL_MGMT


def check(condition, what):
    if not condition:
        raise AssertionError(what)


def expect_error(code, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except CtapError as e:
        return check(e.code == code, "expected %s, got %s" % (code.name, e.code))
    raise AssertionError("expected %s, the call succeeded" % code.name)


def round_with(dev, proto):
    """One blank key under one PIN protocol."""
    ctap = Ctap2(dev)
    cp = ClientPin(ctap, proto)
    cp.set_pin("1234")
    expect_error(ERR.PIN_INVALID, cp.get_pin_token, "0000", CM)
    check(cp.get_pin_retries()[0] == 7, "a wrong PIN costs a try")
    cp.change_pin("1234", "24680")
    expect_error(ERR.PIN_INVALID, cp.get_pin_token, "1234", CM)
    check(cp.get_pin_retries()[0] == 7, "the old PIN is wrong now, the change gave the tries back")

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
    check(cm.get_metadata()[RESULT.EXISTING_CRED_COUNT] == 1, "existing count")
    rps = cm.enumerate_rps()
    check([r[RESULT.RP]["id"] for r in rps] == ["example.com"], "relying parties")
    check(rps[0][RESULT.RP_ID_HASH] == auth.rp_id_hash, "rpIDHash")
    creds = cm.enumerate_creds(hashlib.sha256(b"example.com").digest())
    check(len(creds) == 1 and creds[0][RESULT.USER] == user, "user entity")
    check(creds[0][RESULT.CREDENTIAL_ID]["id"] == cred.credential_id, "credential id")
    check(creds[0][RESULT.PUBLIC_KEY] == dict(cred.public_key), "credential public key")
    cm.delete_cred(creds[0][RESULT.CREDENTIAL_ID])
    expect_error(ERR.NO_CREDENTIALS, cm.delete_cred, creds[0][RESULT.CREDENTIAL_ID])
    return ctap


def main():
    lock = lock_reader()  # noqa: F841 (held until the process ends)
    key = SoftKey(sys.argv[1], "--touch-delay", "150")
    try:
        dev = connect()
        for proto in [PinProtocolV1(), PinProtocolV2()]:
            ctap = round_with(dev, proto)
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
        ClientPin(Ctap2(dev), PinProtocolV2()).get_pin_token("1234", CM)
        dev.close()
    finally:
        key.stop()
        wait_until_reader_empty()


if __name__ == "__main__":
    main()
