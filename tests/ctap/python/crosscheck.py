"""Prints "name HEX" lines: python-fido2's canonical CBOR of the requests the client builds, to compare."""
from fido2 import cbor

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
for name, request in REQUESTS.items():
    print(name, request.hex().upper())
