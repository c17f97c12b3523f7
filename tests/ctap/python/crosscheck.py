"""Independent checks of the client's encodings and PIN protocol crypto with python-fido2.

Usage:
  crosscheck.py cbor
      prints "name hex" lines: python-fido2's canonical CBOR of the requests the client builds.
  crosscheck.py crypto Z_HEX PT_HEX CT1_HEX MAC1_HEX CT2_HEX MAC2_HEX
      Z is an ECDH secret; CTn/MACn are what the client made of PT under protocol n. Prints "kdf1 ..",
      "kdf2 ..", "dec1 ..", "dec2 ..", "mac1 ok/bad", "mac2 ok/bad", then python's own "ct1 .." / "ct2 .."
      encryptions of PT and "pmac1 ..", "pmac2 .." of PT for the client to check.
  crosscheck.py mac MSG_HEX KEY_HEX...
      prints "v1-N ..", "v2-N .." lines: protocol 1's and protocol 2's MAC of MSG under the Nth key.
"""
import sys

from fido2 import cbor
from fido2.ctap2.pin import PinProtocolV1, PinProtocolV2


def h(b):
    return b.hex().upper()


def do_cbor():
    print("getKeyAgreement2", h(b"\x06" + cbor.encode({1: 2, 2: 2})))
    print("getRetries1", h(b"\x06" + cbor.encode({1: 1, 2: 1})))
    cose = {1: 2, 3: -25, -1: 1, -2: b"\xaa" * 32, -3: b"\xbb" * 32}
    print("cose", h(cbor.encode(cose)))
    touch = {
        1: bytes.fromhex("A6CB97932A23D9DA7F87221AB61D432B2BC28E66EE94397C1DC71FEDF47897CB"),
        2: {"id": "SelectDevice", "name": "SelectDevice"},
        3: {"id": bytes.fromhex("112233445544332211"), "name": "SelectDevice", "displayName": "SelectDevice"},
        4: [{"alg": -7, "type": "public-key"}],
        8: b"",
        9: 1,
    }
    print("touch", h(b"\x01" + cbor.encode(touch)))
    print("getNextRp", h(b"\x0a" + cbor.encode({1: 3})))
    print("getNextCred", h(b"\x0a" + cbor.encode({1: 5})))
    print("deleteParams", h(cbor.encode({2: {"id": b"\xde\xad", "type": "public-key"}})))


def do_crypto(z, pt, ct1, mac1, ct2, mac2):
    v1, v2 = PinProtocolV1(), PinProtocolV2()
    k1, k2 = v1.kdf(z), v2.kdf(z)
    print("kdf1", h(k1))
    print("kdf2", h(k2))
    print("dec1", h(v1.decrypt(k1, ct1)))
    print("dec2", h(v2.decrypt(k2, ct2)))
    print("mac1", "ok" if v1.authenticate(k1, pt) == mac1 else "bad")
    print("mac2", "ok" if v2.authenticate(k2, pt) == mac2 else "bad")
    print("ct1", h(v1.encrypt(k1, pt)))
    print("ct2", h(v2.encrypt(k2, pt)))
    print("pmac1", h(v1.authenticate(k1, pt)))
    print("pmac2", h(v2.authenticate(k2, pt)))


def do_mac(msg, keys):
    v1, v2 = PinProtocolV1(), PinProtocolV2()
    for n, key in enumerate(keys):
        print(f"v1-{n}", h(v1.authenticate(key, msg)))
        print(f"v2-{n}", h(v2.authenticate(key, msg)))


if __name__ == "__main__":
    if sys.argv[1] == "cbor":
        do_cbor()
    elif sys.argv[1] == "mac":
        do_mac(bytes.fromhex(sys.argv[2]), [bytes.fromhex(a) for a in sys.argv[3:]])
    else:
        do_crypto(*[bytes.fromhex(a) for a in sys.argv[2:8]])
