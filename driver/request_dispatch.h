#pragma once

#include <cstdint>
#include <span>

#include <glibmm/iochannel.h>

// The worker's end of the request channel: reads one request at a time from
// btsidesocket, serves it with the session in the slot and writes one reply.

// Handler of the worker's read watch on btsidesocket. Returns false (removing
// the watch) once the PC/SC end is closed.
bool pipe_read_cb(Glib::IOCondition condition);

// Sends [status][data] as one message.
ssize_t write_answer(std::uint8_t status, std::span<const std::uint8_t> data = {});
// Sends the bytes as one message, without a status byte.
ssize_t write_answer_nostatus(std::span<const std::uint8_t> data);
