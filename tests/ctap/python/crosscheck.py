"""Independent checks of the client's encodings and PIN protocol crypto with python-fido2.

Usage:
  crosscheck.py cbor
      prints "name hex" lines: python-fido2's canonical CBOR of the requests the client builds.
  crosscheck.py crypto Z PT CT1 CT2
      Z is an ECDH secret, CTn what the client made of PT under protocol n (all hex). Prints for n = 1, 2:
      "kdfN" (the secret), "decN" (CTn decrypted), "ctN" (python's own encryption of PT) and "macN" (of PT).
"""
import sys

from fido2 import cbor
from fido2.ctap2.pin import PinProtocolV1, PinProtocolV2


def h(b):
    return b.hex().upper()


def do_cbor():
    touch = {
        1: bytes.fromhex("A6CB97932A23D9DA7F87221AB61D432B2BC28E66EE94397C1DC71FEDF47897CB"),
        2: {"id": "SelectDevice", "name": "SelectDevice"},
        3: {"id": bytes.fromhex("112233445544332211"), "name": "SelectDevice", "displayName": "SelectDevice"},
        4: [{"alg": -7, "type": "public-key"}],
        8: b"",
        9: 1,
    }
    print("getKeyAgreement2", h(b"\x06" + cbor.encode({1: 2, 2: 2})))
    print("getRetries1", h(b"\x06" + cbor.encode({1: 1, 2: 1})))
    print("cose", h(cbor.encode({1: 2, 3: -25, -1: 1, -2: b"\xaa" * 32, -3: b"\xbb" * 32})))
    print("touch", h(b"\x01" + cbor.encode(touch)))
    print("getNextRp", h(b"\x0a" + cbor.encode({1: 3})))
    print("getNextCred", h(b"\x0a" + cbor.encode({1: 5})))
    print("deleteParams", h(cbor.encode({2: {"id": b"\xde\xad", "type": "public-key"}})))


def do_crypto(z, pt, ct1, ct2):
    for n, protocol, ct in ((1, PinProtocolV1(), ct1), (2, PinProtocolV2(), ct2)):
        key = protocol.kdf(z)
        print(f"kdf{n}", h(key))
        print(f"dec{n}", h(protocol.decrypt(key, ct)))
        print(f"ct{n}", h(protocol.encrypt(key, pt)))
        print(f"mac{n}", h(protocol.authenticate(key, pt)))


if __name__ == "__main__":
    if sys.argv[1] == "cbor":
        do_cbor()
    else:
        do_crypto(*[bytes.fromhex(a) for a in sys.argv[2:6]])
