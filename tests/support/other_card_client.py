"""Another program on the card, as a browser or a smart-card daemon would be: a second PC/SC client of pcscd.
Needs Debian's pyscard (run with /usr/bin/python3).

  other_card_client.py READER reset | unpower
      connects to the card and disconnects resetting it, or powering it down
  other_card_client.py READER hold
      keeps the card in a transaction of its own; prints "held" once it has it, lets go when standard input ends
  other_card_client.py READER select-loop
      selects another application over and over; prints "running" after the first, ends with standard input
"""
import select
import sys

from smartcard import scard

SELECT_OTHER = [0x00, 0xA4, 0x04, 0x00, 0x05, 0xA0, 0x00, 0x00, 0x03, 0x08, 0x00]


def check(result, what):
    if result != scard.SCARD_S_SUCCESS:
        sys.exit("%s: %s" % (what, scard.SCardGetErrorMessage(result)))


def input_ended():
    return bool(select.select([sys.stdin], [], [], 0)[0]) and not sys.stdin.readline()


def main(reader, action):
    result, context = scard.SCardEstablishContext(scard.SCARD_SCOPE_USER)
    check(result, "context")
    result, card, protocol = scard.SCardConnect(context, reader, scard.SCARD_SHARE_SHARED,
                                                scard.SCARD_PROTOCOL_T0 | scard.SCARD_PROTOCOL_T1)
    check(result, "connect")
    disposition = scard.SCARD_LEAVE_CARD
    if action in ("reset", "unpower"):
        disposition = scard.SCARD_RESET_CARD if action == "reset" else scard.SCARD_UNPOWER_CARD
    elif action == "hold":
        check(scard.SCardBeginTransaction(card), "begin transaction")
        print("held", flush=True)
        sys.stdin.read()
        check(scard.SCardEndTransaction(card, scard.SCARD_LEAVE_CARD), "end transaction")
    elif action == "select-loop":
        first = True
        while first or not input_ended():
            result, _ = scard.SCardTransmit(card, protocol, SELECT_OTHER)
            check(result, "transmit")
            if first:
                print("running", flush=True)
                first = False
    else:
        sys.exit("unknown action " + action)
    check(scard.SCardDisconnect(card, disposition), "disconnect")
    scard.SCardReleaseContext(context)


if __name__ == "__main__":
    main(*sys.argv[1:])
