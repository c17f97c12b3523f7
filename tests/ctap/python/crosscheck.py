"""Independent checks of the client's encodings and PIN protocol crypto with python-fido2.

crosscheck.py cbor: prints "name HEX" lines, python-fido2's canonical CBOR of the requests the client builds.
crosscheck.py crypto Z PT CT1 CT2: Z is an ECDH secret, CTn what the client made of PT under protocol n (all hex);
prints for n = 1, 2 "kdfN" (the secret), "decN" (CTn decrypted), "ctN" (python's encryption of PT), "macN" (of PT).
"""
import sys

from fido2 import cbor
from fido2.ctap2.pin import PinProtocolV1, PinProtocolV2

TOUCH = {
    1: bytes.fromhex("A6CB97932A23D9DA7F87221AB61D432B2BC28E66EE94397C1DC71FEDF47897CB"),
    2: {"id": "SelectDevice", "name": "SelectDevice"},
    3: {"id": bytes.fromhex("112233445544332211"), "name": "SelectDevice", "displayName": "SelectDevice"},
    4: [{"alg": -7, "type": "public-key"}],
    8: b"",
    9: 1,
}
REQUESTS = {
    "getKeyAgreement2": b"\x06" + cbor.encode({1: 2, 2: 2}),
    "getRetries1": b"\x06" + cbor.encode({1: 1, 2: 1}),
    "cose": cbor.encode({1: 2, 3: -25, -1: 1, -2: b"\xaa" * 32, -3: b"\xbb" * 32}),
    "touch": b"\x01" + cbor.encode(TOUCH),
    "getNextRp": b"\x0a" + cbor.encode({1: 3}),
    "getNextCred": b"\x0a" + cbor.encode({1: 5}),
    "deleteParams": cbor.encode({2: {"id": b"\xde\xad", "type": "public-key"}}),
}

if sys.argv[1] == "cbor":
    for name, request in REQUESTS.items():
        print(name, request.hex().upper())
else:
    z, pt, ct1, ct2 = (bytes.fromhex(a) for a in sys.argv[2:6])
    for n, protocol, ct in ((1, PinProtocolV1(), ct1), (2, PinProtocolV2(), ct2)):
        key = protocol.kdf(z)
        for name, value in (("kdf", key), ("dec", protocol.decrypt(key, ct)), ("ct", protocol.encrypt(key, pt)),
                            ("mac", protocol.authenticate(key, pt))):
            print(f"{name}{n}", value.hex().upper())
