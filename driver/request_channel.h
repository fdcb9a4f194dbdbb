#pragma once

#include <cstdint>
#include <span>

// The daemon's end of the request channel: each function sends one request
// to the worker and blocks on its reply. They return the reply's status byte
// (0 to 255), 0, or -1 on a channel failure, as documented per function.

// The PC/SC end and the worker end of the socket pair; -1 until the first pair.
extern int pcscsidesock;
extern int btsidesocket;

// Closes the PC/SC end of an earlier pair (the worker that served it is gone).
void close_pcsc_end();
// Makes a new socket pair for a new worker.
void create_request_channel();

// Answer to reset into atr; atr_length is the capacity in and the length out.
// With a null atr or atr_length the status is returned without copying.
int icc_reset(std::uint8_t slot, std::uint8_t *atr, unsigned long *atr_length);
int icc_power_off(std::uint8_t slot);
// Response APDU (without the status byte) into response; response_length is
// the capacity in and the length out.
int write_apdu(std::uint8_t slot, std::span<const std::uint8_t> apdu, std::uint8_t *response,
               unsigned long *response_length);
// The reader's whole answer, its result byte first: 0, or -1 if that byte is
// 0xFF (the answer is copied in both cases) or the exchange failed.
int write_rpc_ext(std::uint8_t slot, std::span<const std::uint8_t> message, std::uint8_t *answer,
                  unsigned long *answer_length);
// The reply is read straight into the buffer: 0, or -1 if shorter than 2 bytes.
int get_pemra_ieee(std::uint8_t slot, std::span<std::uint8_t> buffer);
int get_pemra_descriptor(std::uint8_t slot, std::span<std::uint8_t> buffer);

// Read from the slot table without any request; 0 for a slot that does not exist.
std::int32_t get_card_status(std::uint8_t slot);
std::int32_t get_apdu_len(std::uint8_t slot);
