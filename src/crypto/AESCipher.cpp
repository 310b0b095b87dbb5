#include "crypto/AESCipher.hpp"

#include <openssl/crypto.h>

namespace velquor::detail {

namespace {

// ---------------------------------------------------------------------------------------------
// FIPS-197 tables, derived at compile time from GF(2^8) arithmetic rather than typed in, so a
// mistyped entry cannot hide in 2,000 constants. Words are big-endian: byte 0 of a column is the
// most significant byte.

constexpr std::uint8_t xtime(std::uint8_t x) {
    return static_cast<std::uint8_t>((x << 1) ^ ((x & 0x80) ? 0x1B : 0x00));
}

constexpr std::uint8_t gmul(std::uint8_t a, std::uint8_t b) {
    std::uint8_t product = 0;
    while (b) {
        if (b & 1)
            product ^= a;
        a = xtime(a);
        b >>= 1;
    }
    return product;
}

constexpr std::uint8_t rotl8(std::uint8_t x, int shift) {
    return static_cast<std::uint8_t>((x << shift) | (x >> (8 - shift)));
}

constexpr std::uint32_t ror32(std::uint32_t x, int shift) {
    return (x >> shift) | (x << (32 - shift));
}

constexpr std::uint32_t word(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3) {
    return (std::uint32_t{b0} << 24) | (std::uint32_t{b1} << 16) | (std::uint32_t{b2} << 8) | b3;
}

struct Tables {
    std::uint8_t sbox[256]{};
    std::uint8_t invSbox[256]{};
    std::uint32_t rcon[11]{};
    // T0..T3: SubBytes, ShiftRows and MixColumns of one byte at each row position.
    std::uint32_t t[4][256]{};
    // T0_INV..T3_INV: the same for the inverse cipher.
    std::uint32_t tInv[4][256]{};
    // U1..U4: InvMixColumns alone, for turning encryption round keys into decryption ones.
    std::uint32_t u[4][256]{};
};

constexpr Tables makeTables() {
    Tables tables;
    // Multiplicative inverses by walking the powers of the generator 3.
    std::uint8_t exp[256]{};
    std::uint8_t log[256]{};
    std::uint8_t x = 1;
    for (int i = 0; i < 255; ++i) {
        exp[i] = x;
        log[x] = static_cast<std::uint8_t>(i);
        x = static_cast<std::uint8_t>(x ^ xtime(x)); // x * 3
    }
    for (int i = 0; i < 256; ++i) {
        const std::uint8_t inverse = (i == 0) ? 0 : exp[(255 - log[i]) % 255];
        const std::uint8_t s = static_cast<std::uint8_t>(inverse ^ rotl8(inverse, 1) ^ rotl8(inverse, 2) ^
                                                         rotl8(inverse, 3) ^ rotl8(inverse, 4) ^ 0x63);
        tables.sbox[i] = s;
        tables.invSbox[s] = static_cast<std::uint8_t>(i);
    }
    std::uint8_t rc = 1;
    for (int i = 1; i < 11; ++i) {
        tables.rcon[i] = std::uint32_t{rc} << 24;
        rc = xtime(rc);
    }
    for (int i = 0; i < 256; ++i) {
        const std::uint8_t s = tables.sbox[i];
        const std::uint8_t si = tables.invSbox[i];
        const std::uint8_t b = static_cast<std::uint8_t>(i);
        const std::uint32_t t0 = word(gmul(s, 2), s, s, gmul(s, 3));
        const std::uint32_t t0Inv = word(gmul(si, 14), gmul(si, 9), gmul(si, 13), gmul(si, 11));
        const std::uint32_t u1 = word(gmul(b, 14), gmul(b, 9), gmul(b, 13), gmul(b, 11));
        for (int k = 0; k < 4; ++k) {
            tables.t[k][i] = k ? ror32(t0, 8 * k) : t0;
            tables.tInv[k][i] = k ? ror32(t0Inv, 8 * k) : t0Inv;
            tables.u[k][i] = k ? ror32(u1, 8 * k) : u1;
        }
    }
    return tables;
}

constexpr Tables kTables = makeTables();
static_assert(kTables.sbox[0x00] == 0x63 && kTables.sbox[0x53] == 0xED && kTables.invSbox[0x63] == 0x00);

constexpr const auto& T0 = kTables.t[0];
constexpr const auto& T1 = kTables.t[1];
constexpr const auto& T2 = kTables.t[2];
constexpr const auto& T3 = kTables.t[3];
constexpr const auto& T0_INV = kTables.tInv[0];
constexpr const auto& T1_INV = kTables.tInv[1];
constexpr const auto& T2_INV = kTables.tInv[2];
constexpr const auto& T3_INV = kTables.tInv[3];
constexpr const auto& SBOX = kTables.sbox;
constexpr const auto& INV_SBOX = kTables.invSbox;

inline std::uint32_t load(const std::uint8_t* p) {
    return word(p[0], p[1], p[2], p[3]);
}

inline void store(std::uint32_t w, std::uint8_t* p) {
    p[0] = static_cast<std::uint8_t>(w >> 24);
    p[1] = static_cast<std::uint8_t>(w >> 16);
    p[2] = static_cast<std::uint8_t>(w >> 8);
    p[3] = static_cast<std::uint8_t>(w);
}

inline std::uint32_t subWord(std::uint32_t w) {
    return word(SBOX[w >> 24], SBOX[(w >> 16) & 0xFF], SBOX[(w >> 8) & 0xFF], SBOX[w & 0xFF]);
}

} // namespace

const char* toString(AESCipherError error) noexcept {
    switch (error) {
    case AESCipherError::blockSizeExceeded:
        return "blockSizeExceeded";
    case AESCipherError::dataPaddingRequired:
        return "dataPaddingRequired";
    case AESCipherError::invalidKeyOrInitializationVector:
        return "invalidKeyOrInitializationVector";
    case AESCipherError::invalidInitializationVector:
        return "invalidInitializationVector";
    }
    return "unknown";
}

Result<AESCipher, AESCipher::Error> AESCipher::make(std::span<const std::uint8_t> key,
                                                    std::optional<std::span<const std::uint8_t>> iv) {
    if (key.size() != 16 && key.size() != 24 && key.size() != 32)
        return Error::invalidKeyOrInitializationVector;
    std::optional<Block> ivBlock;
    if (iv) {
        if (iv->size() != 16)
            return Error::invalidInitializationVector;
        ivBlock.emplace();
        std::copy(iv->begin(), iv->end(), ivBlock->begin());
    }
    return AESCipher(key, ivBlock);
}

AESCipher::AESCipher(std::span<const std::uint8_t> key, std::optional<Block> iv)
    : key_(key.begin(), key.end())
    , iv_(iv)
    , rounds_(static_cast<int>(key.size() / 4) + 6) {}

AESCipher::~AESCipher() {
    if (!key_.empty())
        OPENSSL_cleanse(key_.data(), key_.size());
    if (expandedKey_)
        OPENSSL_cleanse(expandedKey_->data(), sizeof(Schedule));
    if (expandedKeyInv_)
        OPENSSL_cleanse(expandedKeyInv_->data(), sizeof(Schedule));
}

const AESCipher::Schedule& AESCipher::expandedKey() {
    if (expandedKey_)
        return *expandedKey_;
    Schedule& w = expandedKey_.emplace();
    const int nk = static_cast<int>(key_.size() / 4);
    const int total = 4 * (rounds_ + 1);
    for (int i = 0; i < nk; ++i)
        w[i] = load(key_.data() + 4 * i);
    for (int i = nk; i < total; ++i) {
        std::uint32_t temp = w[i - 1];
        if (i % nk == 0)
            temp = subWord((temp << 8) | (temp >> 24)) ^ kTables.rcon[i / nk];
        else if (nk > 6 && i % nk == 4)
            temp = subWord(temp);
        w[i] = w[i - nk] ^ temp;
    }
    return w;
}

const AESCipher::Schedule& AESCipher::expandedKeyInv() {
    if (expandedKeyInv_)
        return *expandedKeyInv_;
    const Schedule& w = expandedKey();
    Schedule& d = expandedKeyInv_.emplace();
    // Round keys in reverse order; the middle ones through InvMixColumns (equivalent inverse cipher).
    for (int round = 0; round <= rounds_; ++round) {
        for (int c = 0; c < 4; ++c) {
            const std::uint32_t k = w[4 * (rounds_ - round) + c];
            if (round == 0 || round == rounds_)
                d[4 * round + c] = k;
            else
                d[4 * round + c] = kTables.u[0][k >> 24] ^ kTables.u[1][(k >> 16) & 0xFF] ^
                                   kTables.u[2][(k >> 8) & 0xFF] ^ kTables.u[3][k & 0xFF];
        }
    }
    return d;
}

void AESCipher::encryptBlock(const std::uint8_t* in, std::uint8_t* out) {
    const std::uint32_t* rk = expandedKey().data();
    std::uint32_t s0 = load(in) ^ rk[0];
    std::uint32_t s1 = load(in + 4) ^ rk[1];
    std::uint32_t s2 = load(in + 8) ^ rk[2];
    std::uint32_t s3 = load(in + 12) ^ rk[3];
    for (int round = 1; round < rounds_; ++round) {
        rk += 4;
        const std::uint32_t t0 =
            T0[s0 >> 24] ^ T1[(s1 >> 16) & 0xFF] ^ T2[(s2 >> 8) & 0xFF] ^ T3[s3 & 0xFF] ^ rk[0];
        const std::uint32_t t1 =
            T0[s1 >> 24] ^ T1[(s2 >> 16) & 0xFF] ^ T2[(s3 >> 8) & 0xFF] ^ T3[s0 & 0xFF] ^ rk[1];
        const std::uint32_t t2 =
            T0[s2 >> 24] ^ T1[(s3 >> 16) & 0xFF] ^ T2[(s0 >> 8) & 0xFF] ^ T3[s1 & 0xFF] ^ rk[2];
        const std::uint32_t t3 =
            T0[s3 >> 24] ^ T1[(s0 >> 16) & 0xFF] ^ T2[(s1 >> 8) & 0xFF] ^ T3[s2 & 0xFF] ^ rk[3];
        s0 = t0;
        s1 = t1;
        s2 = t2;
        s3 = t3;
    }
    rk += 4;
    // Final round: SubBytes and ShiftRows, no MixColumns.
    store(word(SBOX[s0 >> 24], SBOX[(s1 >> 16) & 0xFF], SBOX[(s2 >> 8) & 0xFF], SBOX[s3 & 0xFF]) ^ rk[0],
          out);
    store(word(SBOX[s1 >> 24], SBOX[(s2 >> 16) & 0xFF], SBOX[(s3 >> 8) & 0xFF], SBOX[s0 & 0xFF]) ^ rk[1],
          out + 4);
    store(word(SBOX[s2 >> 24], SBOX[(s3 >> 16) & 0xFF], SBOX[(s0 >> 8) & 0xFF], SBOX[s1 & 0xFF]) ^ rk[2],
          out + 8);
    store(word(SBOX[s3 >> 24], SBOX[(s0 >> 16) & 0xFF], SBOX[(s1 >> 8) & 0xFF], SBOX[s2 & 0xFF]) ^ rk[3],
          out + 12);
}

void AESCipher::decryptBlock(const std::uint8_t* in, std::uint8_t* out) {
    const std::uint32_t* rk = expandedKeyInv().data();
    std::uint32_t s0 = load(in) ^ rk[0];
    std::uint32_t s1 = load(in + 4) ^ rk[1];
    std::uint32_t s2 = load(in + 8) ^ rk[2];
    std::uint32_t s3 = load(in + 12) ^ rk[3];
    for (int round = 1; round < rounds_; ++round) {
        rk += 4;
        const std::uint32_t t0 = T0_INV[s0 >> 24] ^ T1_INV[(s3 >> 16) & 0xFF] ^ T2_INV[(s2 >> 8) & 0xFF] ^
                                 T3_INV[s1 & 0xFF] ^ rk[0];
        const std::uint32_t t1 = T0_INV[s1 >> 24] ^ T1_INV[(s0 >> 16) & 0xFF] ^ T2_INV[(s3 >> 8) & 0xFF] ^
                                 T3_INV[s2 & 0xFF] ^ rk[1];
        const std::uint32_t t2 = T0_INV[s2 >> 24] ^ T1_INV[(s1 >> 16) & 0xFF] ^ T2_INV[(s0 >> 8) & 0xFF] ^
                                 T3_INV[s3 & 0xFF] ^ rk[2];
        const std::uint32_t t3 = T0_INV[s3 >> 24] ^ T1_INV[(s2 >> 16) & 0xFF] ^ T2_INV[(s1 >> 8) & 0xFF] ^
                                 T3_INV[s0 & 0xFF] ^ rk[3];
        s0 = t0;
        s1 = t1;
        s2 = t2;
        s3 = t3;
    }
    rk += 4;
    store(word(INV_SBOX[s0 >> 24], INV_SBOX[(s3 >> 16) & 0xFF], INV_SBOX[(s2 >> 8) & 0xFF],
               INV_SBOX[s1 & 0xFF]) ^
              rk[0],
          out);
    store(word(INV_SBOX[s1 >> 24], INV_SBOX[(s0 >> 16) & 0xFF], INV_SBOX[(s3 >> 8) & 0xFF],
               INV_SBOX[s2 & 0xFF]) ^
              rk[1],
          out + 4);
    store(word(INV_SBOX[s2 >> 24], INV_SBOX[(s1 >> 16) & 0xFF], INV_SBOX[(s0 >> 8) & 0xFF],
               INV_SBOX[s3 & 0xFF]) ^
              rk[2],
          out + 8);
    store(word(INV_SBOX[s3 >> 24], INV_SBOX[(s2 >> 16) & 0xFF], INV_SBOX[(s1 >> 8) & 0xFF],
               INV_SBOX[s0 & 0xFF]) ^
              rk[3],
          out + 12);
}

Result<std::vector<std::uint8_t>, AESCipher::Failure>
AESCipher::encrypt(std::span<const std::uint8_t> plaintext) {
    const std::size_t padding = 16 - plaintext.size() % 16;
    std::vector<std::uint8_t> data(plaintext.begin(), plaintext.end());
    data.insert(data.end(), padding, static_cast<std::uint8_t>(padding));
    auto chained = blockMode_.encrypt(
        data, iv_, [this](const std::uint8_t* in, std::uint8_t* out) { encryptBlock(in, out); });
    if (!chained)
        return Failure{chained.error()};
    return data;
}

Result<std::vector<std::uint8_t>, AESCipher::Failure>
AESCipher::decrypt(std::span<const std::uint8_t> ciphertext) {
    if (ciphertext.size() % 16 != 0)
        return Failure{Error::blockSizeExceeded};
    if (ciphertext.empty())
        return Failure{Error::dataPaddingRequired};
    std::vector<std::uint8_t> data(ciphertext.begin(), ciphertext.end());
    auto chained = blockMode_.decrypt(
        data, iv_, [this](const std::uint8_t* in, std::uint8_t* out) { decryptBlock(in, out); });
    if (!chained)
        return Failure{chained.error()};
    const std::size_t n = data.back();
    if (n >= 1 && n <= data.size())
        data.resize(data.size() - n);
    return data;
}

} // namespace velquor::detail
