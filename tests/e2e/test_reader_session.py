"""The reader session's set-up and recovery, seen from a PC/SC application
and from what the stand-in's reader received."""

from smartcard import scard

from driver_stack import DriverStackTestCase, wait_until

SCARD_E_NOT_TRANSACTED = 0x80100016
GET_CHALLENGE = [0x00, 0x84, 0x00, 0x00, 0x08]


class SessionTestCase(DriverStackTestCase):
    def card_present(self):
        rc, states = scard.SCardGetStatusChange(self.context, 0, [(self.reader, scard.SCARD_STATE_UNAWARE)])
        return rc == 0 and bool(states[0][1] & scard.SCARD_STATE_PRESENT)

    def wait_for_card(self):
        wait_until(self.card_present, timeout=10, what="the card")

    def reconnect_reader(self):
        self.control.set_connected(False)
        wait_until(lambda: not self.card_present(), what="the card to go")
        self.control.clear_log()
        self.control.set_connected(True)
        self.wait_for_card()

    def requests(self, event="request"):
        return [entry.data for entry in self.control.log(event=event)]

    def transmit(self, apdu):
        rc, card, protocol = scard.SCardConnect(self.context, self.reader, scard.SCARD_SHARE_SHARED,
                                                scard.SCARD_PROTOCOL_T0 | scard.SCARD_PROTOCOL_T1)
        self.assertEqual(rc, 0, scard.SCardGetErrorMessage(rc))
        try:
            return scard.SCardTransmit(card, protocol, apdu)
        finally:
            scard.SCardDisconnect(card, scard.SCARD_LEAVE_CARD)


class SetUpAndReconnect(SessionTestCase):
    def test_the_set_up_sends_its_requests_in_order(self):
        self.reconnect_reader()
        self.assertEqual(len(self.control.log(event="session-key")), 1)
        codes = [request[0] for request in self.requests() if request]
        # Host name (04), descriptor (01), time (0A), buffer size (10).
        self.assertEqual(codes[:4], [0x04, 0x01, 0x0A, 0x10])
        self.assertIn(b"\x01\x00", [entry.data for entry in self.control.log(event="indication")])

    def test_a_reconnect_reuses_the_long_term_key(self):
        self.reconnect_reader()
        self.assertEqual(self.control.log(event="key-exchange"), [])

    def test_a_corrupted_reply_fails_one_apdu_and_the_next_one_works(self):
        self.wait_for_card()
        self.control.set_fault("corrupt-tag", 1)
        rc, _ = self.transmit(GET_CHALLENGE)
        self.assertEqual(rc & 0xFFFFFFFF, SCARD_E_NOT_TRANSACTED)
        rc, response = self.transmit(GET_CHALLENGE)
        self.assertEqual(rc, 0)
        self.assertEqual(response[-2:], [0x90, 0x00])
        self.assertEqual(len(response), 10)


class ReaderRefusingTheSession(SessionTestCase):
    sim_args = ("--disconnected",)

    def test_a_session_key_reply_beginning_03_ends_the_set_up_with_indication_08(self):
        self.control.set_fault("key-reply-03", 1)
        self.control.set_connected(True)
        wait_until(lambda: b"\x08" in [e.data for e in self.control.log(event="indication")],
                   what="indication 08")
        self.assertFalse(self.card_present())
        self.assertEqual(self.control.log(event="key-exchange"), [])


class StrayFragments(SessionTestCase):
    def test_the_rest_of_an_abandoned_reply_never_becomes_the_next_reply(self):
        self.wait_for_card()
        # The reader announces more fragments than a reply may have, then
        # keeps sending them slowly after the driver has given up.
        self.control.set_fault("fragment-interval-ms", 20)
        self.control.set_fault("header-too-many-fragments", 1)
        rc, _ = self.transmit(GET_CHALLENGE)
        self.assertEqual(rc & 0xFFFFFFFF, SCARD_E_NOT_TRANSACTED)
        rc, response = self.transmit(GET_CHALLENGE)
        self.assertEqual(rc, 0)
        self.assertEqual((len(response), response[-2:]), (10, [0x90, 0x00]))
        self.assertEqual(self.control.log(event="decrypt-failure"), [])


class CardAndReaderComingAndGoing(SessionTestCase):
    def max_input(self):
        rc, card, _ = scard.SCardConnect(self.context, self.reader, scard.SCARD_SHARE_DIRECT, 0)
        self.assertEqual(rc, 0)
        try:
            rc, value = scard.SCardGetAttrib(card, 0x7A007)
            return int.from_bytes(bytes(value), "little") if rc == 0 else None
        finally:
            scard.SCardDisconnect(card, scard.SCARD_LEAVE_CARD)

    def test_a_removed_card_is_absent_and_a_new_one_present(self):
        self.wait_for_card()
        self.control.remove_card()
        wait_until(lambda: not self.card_present(), what="the card to go")
        self.control.insert_card()
        self.wait_for_card()
        rc, response = self.transmit(GET_CHALLENGE)
        self.assertEqual((rc, response[-2:]), (0, [0x90, 0x00]))

    def test_a_lost_reader_leaves_no_card_but_its_maximum_apdu_size(self):
        self.wait_for_card()
        size = self.max_input()
        self.control.set_connected(False)
        wait_until(lambda: not self.card_present(), what="the card to go")
        self.assertEqual(self.max_input(), size)
        self.control.set_connected(True)
        self.wait_for_card()
        rc, response = self.transmit(GET_CHALLENGE)
        self.assertEqual((rc, response[-2:]), (0, [0x90, 0x00]))
