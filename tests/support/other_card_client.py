"""Another PC/SC client of the card (a browser, a smart-card daemon). Run with /usr/bin/python3 (pyscard).
other_card_client.py READER reset|unpower: connects, then disconnects resetting the card or powering it down.
  hold: keeps the card in a transaction; prints "held" once it has it, lets go when standard input ends.
  select-loop: selects another application over and over; prints "running" after the first, ends with stdin.
"""
import select
import sys

from smartcard import scard

SELECT_OTHER = [0x00, 0xA4, 0x04, 0x00, 0x05, 0xA0, 0x00, 0x00, 0x03, 0x08, 0x00]


def check(result, what):
    if result != scard.SCARD_S_SUCCESS:
        sys.exit("%s: %s" % (what, scard.SCardGetErrorMessage(result)))


def main(reader, action):
    result, context = scard.SCardEstablishContext(scard.SCARD_SCOPE_USER)
    check(result, "context")
    result, card, protocol = scard.SCardConnect(context, reader, scard.SCARD_SHARE_SHARED,
                                                scard.SCARD_PROTOCOL_T0 | scard.SCARD_PROTOCOL_T1)
    check(result, "connect")
    ends = {"reset": scard.SCARD_RESET_CARD, "unpower": scard.SCARD_UNPOWER_CARD}
    if action == "hold":
        check(scard.SCardBeginTransaction(card), "begin transaction")
        print("held", flush=True)
        sys.stdin.read()
        check(scard.SCardEndTransaction(card, scard.SCARD_LEAVE_CARD), "end transaction")
    elif action == "select-loop":
        check(scard.SCardTransmit(card, protocol, SELECT_OTHER)[0], "transmit")
        print("running", flush=True)
        while not (select.select([sys.stdin], [], [], 0)[0] and not sys.stdin.readline()):  # until input ends
            check(scard.SCardTransmit(card, protocol, SELECT_OTHER)[0], "transmit")
    elif action not in ends:
        sys.exit("unknown action " + action)
    check(scard.SCardDisconnect(card, ends.get(action, scard.SCARD_LEAVE_CARD)), "disconnect")
    scard.SCardReleaseContext(context)


if __name__ == "__main__":
    main(*sys.argv[1:])
