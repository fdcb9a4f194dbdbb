// The reader's protocol against a host built from the link-encryption
// module: both sides must agree on keys, nonces and frames.
#include "sim/reader_protocol.h"

#include <gtest/gtest.h>

#include "crypto/key_agreement.h"
#include "crypto/link_crypto.h"
#include "sim/event_log.h"
#include "sim/key_store.h"
#include "tests/sim/hex_bytes.h"

using namespace pemra_sim;

namespace {

constexpr char host[] = "00:1A:7D:DA:71:00";

class Host {
public:
    explicit Host(ReaderProtocol &reader) : reader_(reader) {}

    Bytes key_exchange()
    {
        std::array<std::uint8_t, 32> public_key{}, base{};
        EXPECT_TRUE(pemra_crypto_generate_key_exchange(public_key, private_key_, base));
        Bytes request{0x03};
        request.insert(request.end(), base.begin(), base.end());
        request.insert(request.end(), public_key.begin(), public_key.end());
        const Bytes reply = reader_.answer(request, host);
        if (reply.size() == 33) {
            EXPECT_TRUE(pemra_crypto_got_key_exchange_response(std::span(reply).subspan(1), private_key_, ltk_));
        }
        return reply;
    }

    Bytes start_session()
    {
        std::array<std::uint8_t, 22> request{};
        EXPECT_TRUE(pemra_crypto_generate_key_request(nonce_, session_key_, request));
        const Bytes reply = reader_.answer(Bytes(request.begin(), request.end()), host);
        if (reply.size() == 21) {
            EXPECT_TRUE(pemra_crypto_process_key_response(nonce_, session_key_, ltk_, std::span(reply).subspan(1)));
        }
        return reply;
    }

    Bytes seal(const Bytes &plaintext)
    {
        Bytes frame(pemra_crypto_get_encrypted_size(plaintext.size()));
        EXPECT_TRUE(pemra_crypto_encrypt_buf(plaintext, frame, session_key_, nonce_));
        return frame;
    }

    // The plaintext reply, or nothing when the tag is wrong.
    std::optional<Bytes> exchange(const Bytes &plaintext)
    {
        Bytes reply = reader_.answer(seal(plaintext), host);
        const std::size_t length = pemra_crypto_decrypt_buf(reply, session_key_, nonce_);
        if (length == 0)
            return std::nullopt;
        reply.resize(length);
        return reply;
    }

    std::array<std::uint8_t, 32> ltk_{};

private:
    ReaderProtocol &reader_;
    std::array<std::uint8_t, 32> private_key_{};
    std::array<std::uint8_t, 32> session_key_{};
    std::array<std::uint8_t, 13> nonce_{};
};

class ReaderProtocolTest : public ::testing::Test {
protected:
    EventLog log_{100, false};
    KeyStore keys_{std::nullopt};
    Faults faults_;
    ReaderProtocol reader_{{"E1:A5:00:00:00:01", "Pemra-0001"}, 1024, keys_, faults_, log_, "reader"};
    Host host_{reader_};

    void connect()
    {
        ASSERT_EQ(host_.key_exchange()[0], 0);
        ASSERT_EQ(host_.start_session().size(), 21u);
    }
};

} // namespace

TEST_F(ReaderProtocolTest, KeyExchangeGivesBothSidesTheSameLongTermKey)
{
    const Bytes reply = host_.key_exchange();
    ASSERT_EQ(reply.size(), 33u);
    EXPECT_EQ(reply[0], 0);
    const auto stored = keys_.find("E1:A5:00:00:00:01", host);
    ASSERT_TRUE(stored);
    EXPECT_EQ(*stored, host_.ltk_);
}

TEST_F(ReaderProtocolTest, AKeyExchangeWithAnotherBasePointIsRefused)
{
    Bytes request(65);
    request[0] = 0x03;
    request[1] = 0x05;
    EXPECT_EQ(reader_.answer(request, host), unhex("01"));
}

TEST_F(ReaderProtocolTest, WithoutALongTermKeyTheSessionKeyRequestIsAnswered01)
{
    EXPECT_EQ(host_.start_session(), unhex("01"));
}

TEST_F(ReaderProtocolTest, EncryptedRequestsAreAnsweredUnderTheSharedCounter)
{
    connect();
    for (int round = 0; round < 3; ++round) {
        const auto reply = host_.exchange(unhex("10"));
        ASSERT_TRUE(reply);
        EXPECT_EQ(*reply, unhex("00 0004"));
    }
}

TEST_F(ReaderProtocolTest, TheDescriptorListsMacSerialNameAndFirmware)
{
    connect();
    const auto reply = host_.exchange(unhex("01"));
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, unhex("00 3b"
                            "0b 03 4d4143 06 e1a500000001"
                            "0d 06 53657269616c 05 2000000001"
                            "10 04 4e616d65 0a 50656d72612d30303031"
                            "0f 08 4669726d77617265 05 73696d2d31"));
}

TEST_F(ReaderProtocolTest, ACorruptTagFaultSpoilsOneReply)
{
    connect();
    faults_.set(Fault::CorruptTag, 1);
    EXPECT_FALSE(host_.exchange(unhex("10")));
    EXPECT_TRUE(host_.exchange(unhex("10")));
}

TEST_F(ReaderProtocolTest, AFrameUnderAnotherKeyIsAnsweredFfAndLogged)
{
    connect();
    Bytes frame = host_.seal(unhex("10"));
    frame[2] ^= 0x01;
    EXPECT_EQ(reader_.answer(frame, host), unhex("ff"));
    ASSERT_FALSE(log_.events().empty());
    EXPECT_EQ(log_.events().back().event, "decrypt-failure");
}

TEST_F(ReaderProtocolTest, CardCommandsResetExchangeAndShutDown)
{
    connect();
    const auto atr = host_.exchange(unhex("0201"));
    ASSERT_TRUE(atr);
    EXPECT_EQ((*atr)[0], 0);
    EXPECT_EQ(host_.exchange(unhex("0205 80ee000002aabb")), unhex("00 aabb 9000"));
    EXPECT_EQ(host_.exchange(unhex("0204")), unhex("00"));
    EXPECT_EQ(host_.exchange(unhex("0205 80ee000002aabb")), unhex("02"));
    reader_.set_card_status(card_absent);
    EXPECT_EQ(host_.exchange(unhex("0201")), unhex("01"));
}

TEST_F(ReaderProtocolTest, ARequestLongerThanTheMessageSizeIsRefused)
{
    connect();
    // 1024 less the frame's marker and tag.
    EXPECT_EQ(host_.exchange(Bytes(1020, 0x7e)), unhex("0b"));
    EXPECT_EQ(host_.exchange(Bytes(1019, 0x7e))->size(), 1020u);
}

TEST_F(ReaderProtocolTest, TheSessionEndsWithTheLink)
{
    connect();
    reader_.end_session();
    EXPECT_EQ(reader_.answer(host_.seal(unhex("10")), host), unhex("ff"));
    EXPECT_EQ(log_.events().back().detail, "no session key");
}
