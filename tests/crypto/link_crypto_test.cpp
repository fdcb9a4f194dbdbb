// Session-key request and derivation, frames and the shared nonce counter.
#include <algorithm>
#include <array>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "crypto/link_crypto.h"
#include "tests/crypto/hex.h"

namespace {

using Key = std::array<uint8_t, 32>;
using Nonce = std::array<uint8_t, 13>;
using Bytes = std::vector<uint8_t>;

// Nonce with the given big-endian counter and fixed driver and reader parts.
Nonce nonce_with_counter(uint32_t counter)
{
    Nonce nonce{0x00, 0, 0, 0, 0, 0x51, 0x52, 0x53, 0x54, 0x91, 0x92, 0x93, 0x94};
    for (int i = 4; i >= 1; --i, counter >>= 8)
        nonce[i] = static_cast<uint8_t>(counter);
    return nonce;
}

const Key test_key = hex_array<32>("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");

Bytes encrypt(const Bytes& plaintext, Nonce& nonce, const Key& key = test_key)
{
    Bytes frame(pemra_crypto_get_encrypted_size(plaintext.size()));
    EXPECT_TRUE(pemra_crypto_encrypt_buf(plaintext, frame, key, nonce));
    return frame;
}

// The reader's reply as the tunnel delivers it: no 0xFF marker in front.
Bytes without_marker(const Bytes& frame)
{
    return Bytes(frame.begin() + 1, frame.end());
}

// ---- reference frames -------------------------------------------------------

struct CcmVector {
    const char* key;
    const char* nonce;
    const char* plaintext;
    const char* frame;
};

const CcmVector ccm_vectors[] = {
#include "tests/crypto/ccm_vectors.inc"
};

class ReferenceFrame : public testing::TestWithParam<CcmVector> {
protected:
    const Key key = hex_array<32>(GetParam().key);
    const Nonce nonce = hex_array<13>(GetParam().nonce);
    const Bytes plaintext = from_hex(GetParam().plaintext);
    const Bytes frame = from_hex(GetParam().frame);
};

TEST_P(ReferenceFrame, IsWhatEncryptionProduces)
{
    Nonce working = nonce;
    EXPECT_EQ(encrypt(plaintext, working, key), frame);
}

TEST_P(ReferenceFrame, DecryptsInPlaceToThePlaintext)
{
    Nonce working = nonce;
    Bytes reply = without_marker(frame);
    ASSERT_EQ(pemra_crypto_decrypt_buf(reply, key, working), plaintext.size());
    EXPECT_EQ(Bytes(reply.begin(), reply.begin() + static_cast<long>(plaintext.size())), plaintext);
}

std::string vector_name(const testing::TestParamInfo<CcmVector>& info)
{
    return "plaintext_of_" + std::to_string(from_hex(info.param.plaintext).size()) + "_bytes";
}

INSTANTIATE_TEST_SUITE_P(AesCcm, ReferenceFrame, testing::ValuesIn(ccm_vectors), vector_name);

// ---- encryption ---------------------------------------------------------------

TEST(FrameEncryption, AddsFiveBytesToThePlaintext)
{
    EXPECT_EQ(pemra_crypto_get_encrypted_size(0), 5u);
    EXPECT_EQ(pemra_crypto_get_encrypted_size(300), 305u);
}

TEST(FrameEncryption, AdvancesTheNonceByOneFrame)
{
    Nonce nonce = nonce_with_counter(41);
    encrypt(Bytes{1, 2, 3}, nonce);
    EXPECT_EQ(nonce, nonce_with_counter(42));
}

TEST(FrameEncryption, RefusesAFrameBufferTooSmallWithoutTouchingIt)
{
    Nonce nonce = nonce_with_counter(7);
    const Bytes plaintext(10, 0x33);
    Bytes frame(pemra_crypto_get_encrypted_size(plaintext.size()) - 1, 0xEE);
    EXPECT_FALSE(pemra_crypto_encrypt_buf(plaintext, frame, test_key, nonce));
    EXPECT_EQ(frame, Bytes(frame.size(), 0xEE));
    EXPECT_EQ(nonce, nonce_with_counter(7));
}

TEST(FrameEncryption, RefusesAPlaintextBeyondTheTwoByteLengthField)
{
    Nonce nonce = nonce_with_counter(7);
    const Bytes plaintext(pemra_crypto_max_plaintext + 1);
    Bytes frame(pemra_crypto_get_encrypted_size(plaintext.size()));
    EXPECT_FALSE(pemra_crypto_encrypt_buf(plaintext, frame, test_key, nonce));
    EXPECT_EQ(nonce, nonce_with_counter(7));
}

TEST(FrameEncryption, AcceptsTheLongestPlaintext)
{
    Nonce nonce = nonce_with_counter(7);
    const Bytes plaintext(pemra_crypto_max_plaintext, 0x5A);
    Bytes reply = without_marker(encrypt(plaintext, nonce));
    Nonce reader_nonce = nonce_with_counter(7);
    EXPECT_EQ(pemra_crypto_decrypt_buf(reply, test_key, reader_nonce), plaintext.size());
}

// ---- decryption ---------------------------------------------------------------

class FrameDecryption : public testing::Test {
protected:
    const Bytes plaintext{0x02, 0x05, 0x00, 0xA4, 0x04, 0x00};
    Nonce nonce = nonce_with_counter(100);
    Bytes reply = sealed_reply();

    Bytes sealed_reply()
    {
        Nonce sealing = nonce;
        return without_marker(encrypt(plaintext, sealing));
    }

    std::size_t decrypt() { return pemra_crypto_decrypt_buf(reply, test_key, nonce); }
};

TEST_F(FrameDecryption, ReturnsThePlaintextLengthAndAdvancesTheNonce)
{
    EXPECT_EQ(decrypt(), plaintext.size());
    EXPECT_EQ(nonce, nonce_with_counter(101));
}

TEST_F(FrameDecryption, FailsOnACorruptedTagAndStillAdvancesTheNonce)
{
    reply.back() ^= 0x01;
    EXPECT_EQ(decrypt(), 0u);
    EXPECT_EQ(nonce, nonce_with_counter(101));
}

TEST_F(FrameDecryption, FailsOnCorruptedCiphertextAndStillAdvancesTheNonce)
{
    reply.front() ^= 0x80;
    EXPECT_EQ(decrypt(), 0u);
    EXPECT_EQ(nonce, nonce_with_counter(101));
}

TEST_F(FrameDecryption, FailsUnderTheNextCounterValue)
{
    nonce = nonce_with_counter(101);
    EXPECT_EQ(decrypt(), 0u);
}

TEST_F(FrameDecryption, LeavesTheNonceAloneForAThreeByteFrame)
{
    reply.resize(3);
    EXPECT_EQ(decrypt(), 0u);
    EXPECT_EQ(nonce, nonce_with_counter(100));
}

TEST(FrameDecryptionOfTagOnly, YieldsZeroAndAdvancesTheNonceWhetherOrNotTheTagVerifies)
{
    Nonce sealing = nonce_with_counter(9);
    const Bytes valid = without_marker(encrypt(Bytes{}, sealing));
    ASSERT_EQ(valid.size(), 4u);
    for (const Bytes& frame : {valid, Bytes{0, 0, 0, 0}}) {
        Bytes reply = frame;
        Nonce nonce = nonce_with_counter(9);
        EXPECT_EQ(pemra_crypto_decrypt_buf(reply, test_key, nonce), 0u);
        EXPECT_EQ(nonce, nonce_with_counter(10));
    }
}

// One counter serves both directions: request at k, reply at k + 1.
TEST(FrameExchange, OpensTheReplyWithTheCounterAfterTheRequest)
{
    Nonce driver_nonce = nonce_with_counter(0);
    Nonce reader_nonce = nonce_with_counter(0);
    const Bytes request{0x10};
    Bytes at_reader = without_marker(encrypt(request, driver_nonce));
    ASSERT_EQ(pemra_crypto_decrypt_buf(at_reader, test_key, reader_nonce), request.size());

    const Bytes answer{0x00, 0x0F, 0x01};
    Bytes at_driver = without_marker(encrypt(answer, reader_nonce));
    ASSERT_EQ(pemra_crypto_decrypt_buf(at_driver, test_key, driver_nonce), answer.size());
    EXPECT_EQ(Bytes(at_driver.begin(), at_driver.begin() + 3), answer);
    EXPECT_EQ(driver_nonce, nonce_with_counter(2));
}

// ---- nonce counter ------------------------------------------------------------

struct CounterStep {
    uint32_t before;
    uint32_t after;
};

std::ostream& operator<<(std::ostream& out, const CounterStep& step)
{
    return out << std::hex << step.before << "_to_" << step.after;
}

class NonceCounter : public testing::TestWithParam<CounterStep> {};

TEST_P(NonceCounter, CountsBigEndianInBytesOneToFour)
{
    Nonce nonce = nonce_with_counter(GetParam().before);
    encrypt(Bytes{0xAB}, nonce);
    EXPECT_EQ(nonce, nonce_with_counter(GetParam().after));
}

INSTANTIATE_TEST_SUITE_P(Carries, NonceCounter,
                         testing::Values(CounterStep{0x00000000, 0x00000001},
                                         CounterStep{0x000000FF, 0x00000100},
                                         CounterStep{0x00FFFFFF, 0x01000000},
                                         CounterStep{0x12FFFFFF, 0x13000000}),
                         testing::PrintToStringParamName());

TEST(NonceCounterWrap, WrapsToZeroWithoutTouchingByteZero)
{
    for (const uint8_t first : {uint8_t{0x00}, uint8_t{0x5A}}) {
        Nonce nonce = nonce_with_counter(0xFFFFFFFF);
        nonce[0] = first;
        Bytes reply = without_marker(encrypt(Bytes{0xAB}, nonce));
        Nonce expected = nonce_with_counter(0);
        expected[0] = first;
        EXPECT_EQ(nonce, expected);
        // Decryption advances the same way.
        nonce = nonce_with_counter(0xFFFFFFFF);
        nonce[0] = first;
        pemra_crypto_decrypt_buf(reply, test_key, nonce);
        EXPECT_EQ(nonce, expected);
    }
}

// ---- session-key request ------------------------------------------------------

class SessionKeyRequest : public testing::Test {
protected:
    Nonce nonce = nonce_with_counter(0x01020304);
    Key session_key = filled_key(0xEE);
    std::array<uint8_t, 22> request{};

    static Key filled_key(uint8_t value)
    {
        Key key;
        key.fill(value);
        return key;
    }

    void generate()
    {
        ASSERT_TRUE(pemra_crypto_generate_key_request(nonce, session_key, request));
    }
};

TEST_F(SessionKeyRequest, CarriesTheDriverRandomValueAndNoncePartBetweenA0And01)
{
    generate();
    EXPECT_EQ(request[0], 0xA0);
    EXPECT_EQ(request[21], 0x01);
    EXPECT_TRUE(std::equal(request.begin() + 1, request.begin() + 17, session_key.begin()));
    EXPECT_TRUE(std::equal(request.begin() + 17, request.begin() + 21, nonce.begin() + 5));
}

TEST_F(SessionKeyRequest, ResetsTheCounterAndTheReaderPart)
{
    generate();
    EXPECT_TRUE(std::all_of(nonce.begin(), nonce.begin() + 5, [](uint8_t b) { return b == 0; }));
    EXPECT_TRUE(std::all_of(nonce.begin() + 9, nonce.end(), [](uint8_t b) { return b == 0; }));
}

TEST_F(SessionKeyRequest, KeepsTheSecondHalfOfTheSessionKey)
{
    generate();
    EXPECT_TRUE(std::all_of(session_key.begin() + 16, session_key.end(),
                            [](uint8_t b) { return b == 0xEE; }));
}

TEST_F(SessionKeyRequest, ChoosesNewRandomValuesEachTime)
{
    generate();
    const auto first = request;
    generate();
    EXPECT_FALSE(std::equal(first.begin() + 1, first.begin() + 17, request.begin() + 1));
    EXPECT_FALSE(std::equal(first.begin() + 17, first.begin() + 21, request.begin() + 17));
}

// ---- session-key derivation ---------------------------------------------------

struct SessionKeyVector {
    const char* ltk;
    const char* driver_value;
    const char* response;
    const char* session_key;
};

const SessionKeyVector session_key_vectors[] = {
#include "tests/crypto/session_key_vectors.inc"
};

class SessionKeyDerivation : public testing::TestWithParam<SessionKeyVector> {
protected:
    const Key ltk = hex_array<32>(GetParam().ltk);
    const Bytes response = from_hex(GetParam().response);
    Key session_key = key_after_request();
    Nonce nonce = nonce_with_counter(0);

    Key key_after_request() const
    {
        Key key{};
        const Bytes value = from_hex(GetParam().driver_value);
        std::ranges::copy(value, key.begin());
        return key;
    }
};

TEST_P(SessionKeyDerivation, EncryptsBothRandomValuesUnderTheLongTermKey)
{
    ASSERT_TRUE(pemra_crypto_process_key_response(nonce, session_key, ltk, response));
    EXPECT_EQ(session_key, hex_array<32>(GetParam().session_key));
}

TEST_P(SessionKeyDerivation, TakesTheReaderNoncePartIntoBytesNineToTwelve)
{
    ASSERT_TRUE(pemra_crypto_process_key_response(nonce, session_key, ltk, response));
    Nonce expected = nonce_with_counter(0);
    std::copy(response.begin() + 16, response.end(), expected.begin() + 9);
    EXPECT_EQ(nonce, expected);
}

TEST_P(SessionKeyDerivation, ChangesNothingForAResponseOfAnotherLength)
{
    Bytes longer = response;
    longer.push_back(0x00);
    for (const Bytes& wrong : {Bytes(response.begin(), response.end() - 1), longer, Bytes{}}) {
        const Key key_before = session_key;
        const Nonce nonce_before = nonce;
        EXPECT_FALSE(pemra_crypto_process_key_response(nonce, session_key, ltk, wrong));
        EXPECT_EQ(session_key, key_before);
        EXPECT_EQ(nonce, nonce_before);
    }
}

INSTANTIATE_TEST_SUITE_P(AesBlocks, SessionKeyDerivation, testing::ValuesIn(session_key_vectors));

} // namespace
