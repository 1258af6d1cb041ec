#include "decoder/runDeflate.h"

#include <algorithm>
#include <cstring>
#include <array>
#include <cstdint>
#include <functional>
#include <queue>
#include <utility>

namespace {

constexpr int endOfBlock = 256;
constexpr int literalLengthSymbols = 286;
// Distance codes 0 (distance 1, the only one used) and 1 (unused), both one
// bit long: a complete code, which every inflater accepts.
constexpr int distanceSymbols = 2;
constexpr int codeLengthSymbols = 19;
constexpr int longestCode = 15;
constexpr int longestCodeLengthCode = 7;
constexpr std::size_t shortestRun = 3;
constexpr std::size_t longestRun = 258;
// Bytes coded with one Huffman code: large enough that the block's header
// (about 200 bytes) does not count, small enough to follow a picture whose
// content changes from top to bottom.
constexpr std::size_t blockBytes = std::size_t{1} << 20;

// A run's length as its symbol, extra bits and their value.
struct lengthCode {
    std::uint16_t symbol;
    std::uint8_t extraBits;
    std::uint8_t extraValue;
};

const std::array<lengthCode, longestRun + 1>& lengthCodes()
{
    static const std::array<lengthCode, longestRun + 1> codes = [] {
        static constexpr int bases[] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                        31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
        static constexpr int extras[] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                         2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
        std::array<lengthCode, longestRun + 1> table{};
        for (int code = 0; code < 29; ++code) {
            const int end = code == 28 ? 259 : bases[code + 1];
            // Length 258 has a code of its own (285), not code 284's last value.
            for (int length = bases[code]; length < end && length <= 258; ++length)
                table[length] = {static_cast<std::uint16_t>(257 + code), static_cast<std::uint8_t>(extras[code]),
                                 static_cast<std::uint8_t>(length - bases[code])};
        }
        return table;
    }();
    return codes;
}

// Huffman code lengths for `frequencies`, none longer than `limit`. When the
// optimal code is too deep, the rare symbols' frequencies are flattened and
// the code built again: a little longer on average, never invalid. At least
// two symbols get a code, so that the code is complete.
std::vector<std::uint8_t> codeLengths(std::vector<std::uint32_t> frequencies, int limit)
{
    const std::size_t symbols = frequencies.size();
    if (std::count_if(frequencies.begin(), frequencies.end(), [](std::uint32_t f) { return f > 0; }) < 2) {
        frequencies[0] = std::max<std::uint32_t>(frequencies[0], 1);
        frequencies[1] = std::max<std::uint32_t>(frequencies[1], 1);
    }
    std::vector<std::uint8_t> lengths(symbols);
    for (;;) {
        // Nodes 0..symbols-1 are the symbols; merged nodes follow.
        std::vector<int> parent(2 * symbols, -1);
        using weighted = std::pair<std::uint64_t, int>;
        std::priority_queue<weighted, std::vector<weighted>, std::greater<weighted>> queue;
        for (std::size_t symbol = 0; symbol < symbols; ++symbol)
            if (frequencies[symbol] > 0)
                queue.push({frequencies[symbol], static_cast<int>(symbol)});
        int next = static_cast<int>(symbols);
        while (queue.size() > 1) {
            const weighted first = queue.top();
            queue.pop();
            const weighted second = queue.top();
            queue.pop();
            parent[first.second] = parent[second.second] = next;
            queue.push({first.first + second.first, next++});
        }
        int deepest = 0;
        for (std::size_t symbol = 0; symbol < symbols; ++symbol) {
            int depth = 0;
            if (frequencies[symbol] > 0)
                for (int node = static_cast<int>(symbol); parent[node] >= 0; node = parent[node])
                    ++depth;
            lengths[symbol] = static_cast<std::uint8_t>(depth);
            deepest = std::max(deepest, depth);
        }
        if (deepest <= limit)
            return lengths;
        for (std::uint32_t& frequency : frequencies)
            if (frequency > 0)
                frequency = frequency / 2 + 1;
    }
}

// The canonical codes of `lengths` (RFC 1951, 3.2.2), bit-reversed because
// deflate sends a code's first bit in the lowest bit.
std::vector<std::uint16_t> canonicalCodes(const std::vector<std::uint8_t>& lengths)
{
    std::array<std::uint16_t, longestCode + 2> countOfLength{};
    for (std::uint8_t length : lengths)
        ++countOfLength[length];
    countOfLength[0] = 0;
    std::array<std::uint16_t, longestCode + 2> nextCode{};
    for (int length = 1, code = 0; length <= longestCode; ++length) {
        code = (code + countOfLength[length - 1]) << 1;
        nextCode[length] = static_cast<std::uint16_t>(code);
    }
    std::vector<std::uint16_t> codes(lengths.size());
    for (std::size_t symbol = 0; symbol < lengths.size(); ++symbol) {
        const int length = lengths[symbol];
        if (length == 0)
            continue;
        unsigned code = nextCode[length]++, reversed = 0;
        for (int bit = 0; bit < length; ++bit)
            reversed |= ((code >> bit) & 1u) << (length - 1 - bit);
        codes[symbol] = static_cast<std::uint16_t>(reversed);
    }
    return codes;
}

// Bits gathered lowest first and appended to a byte vector, eight bytes at a
// time into room made ahead: this loop runs once for every byte of a picture.
class bitWriter {
public:
    explicit bitWriter(std::vector<unsigned char>& out) : out_(out), written_(out.size()) {}
    ~bitWriter() { out_.resize(written_); }

    // Makes room for at least `bytes` more bytes of output.
    void reserve(std::size_t bytes)
    {
        if (out_.size() < written_ + bytes + sizeof pending_)
            out_.resize(written_ + bytes + sizeof pending_);
    }

    // Adds up to 56 bits without writing; each put() writes as well.
    void add(std::uint32_t value, int count)
    {
        pending_ |= static_cast<std::uint64_t>(value) << pendingBits_;
        pendingBits_ += count;
    }

    // Writes the whole bytes gathered, always eight bytes (room for them is
    // made ahead) so that no branch depends on how many there are.
    void writeWholeBytes()
    {
        std::memcpy(out_.data() + written_, &pending_, sizeof pending_);
        written_ += static_cast<std::size_t>(pendingBits_ >> 3);
        pending_ >>= pendingBits_ & ~7;
        pendingBits_ &= 7;
    }

    void put(std::uint32_t value, int count)
    {
        add(value, count);
        writeWholeBytes();
    }

    // Pads with zero bits to the next byte boundary and writes what is left.
    void flushToByte()
    {
        for (; pendingBits_ > 0; pendingBits_ -= 8, pending_ >>= 8)
            out_[written_++] = static_cast<unsigned char>(pending_);
        pendingBits_ = 0;
        pending_ = 0;
    }

    void putByte(unsigned char byte) { out_[written_++] = byte; }

private:
    std::vector<unsigned char>& out_;
    std::size_t written_;
    std::uint64_t pending_ = 0;
    int pendingBits_ = 0;
};

// A block's bytes as tokens: literals (below 256) and runs (256 + length).
constexpr int tokenValues = 256 + longestRun + 1;

struct tokenizedBlock {
    std::vector<std::uint16_t> tokens;
    std::vector<std::uint32_t> countOfToken;
};

// Fills `block` (whose memory serves every block of a part) with the tokens
// of `size` bytes.
void tokenize(const unsigned char* bytes, std::size_t size, bool followsPartStart, tokenizedBlock& block)
{
    block.tokens.resize(size);
    std::uint16_t* token = block.tokens.data();
    const unsigned char* at = bytes;
    const unsigned char* const end = bytes + size;
    if (!followsPartStart && at < end)
        *token++ = *at++;
    while (at < end) {
        if (*at != at[-1]) {
            *token++ = *at++;
            continue;
        }
        const unsigned char* const runEnd = at + std::min<std::size_t>(longestRun, static_cast<std::size_t>(end - at));
        const unsigned char* next = at + 1;
        while (next < runEnd && *next == *at)
            ++next;
        const auto run = static_cast<std::size_t>(next - at);
        if (run < shortestRun) {
            *token++ = *at++;
            continue;
        }
        *token++ = static_cast<std::uint16_t>(256 + run);
        at = next;
    }
    block.tokens.resize(static_cast<std::size_t>(token - block.tokens.data()));

    // Four tables, summed at the end, so that a token repeated back to back
    // does not wait for its own count's last increment.
    std::vector<std::uint32_t> counts(4 * tokenValues);
    const std::size_t tokens = block.tokens.size();
    std::size_t index = 0;
    for (; index + 4 <= tokens; index += 4)
        for (std::size_t table = 0; table < 4; ++table)
            ++counts[table * tokenValues + block.tokens[index + table]];
    for (; index < tokens; ++index)
        ++counts[block.tokens[index]];
    block.countOfToken.assign(tokenValues, 0);
    for (std::size_t table = 0; table < 4; ++table)
        for (int value = 0; value < tokenValues; ++value)
            block.countOfToken[value] += counts[table * tokenValues + value];
}

// The header of a dynamic block: its two codes, sent as lengths coded with a
// third code (no repeat codes; they would save a few dozen bytes a block).
void putDynamicHeader(bitWriter& bits, const std::vector<std::uint8_t>& literalLengths,
                      const std::vector<std::uint8_t>& distanceLengths)
{
    static constexpr int order[codeLengthSymbols] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    std::vector<std::uint8_t> allLengths(literalLengths);
    allLengths.insert(allLengths.end(), distanceLengths.begin(), distanceLengths.end());
    std::vector<std::uint32_t> frequencies(codeLengthSymbols);
    for (std::uint8_t length : allLengths)
        ++frequencies[length];
    const std::vector<std::uint8_t> lengthLengths = codeLengths(frequencies, longestCodeLengthCode);
    const std::vector<std::uint16_t> lengthCodes = canonicalCodes(lengthLengths);
    int sentLengthLengths = codeLengthSymbols;
    while (sentLengthLengths > 4 && lengthLengths[order[sentLengthLengths - 1]] == 0)
        --sentLengthLengths;
    bits.put(literalLengthSymbols - 257, 5);
    bits.put(distanceSymbols - 1, 5);
    bits.put(static_cast<std::uint32_t>(sentLengthLengths - 4), 4);
    for (int i = 0; i < sentLengthLengths; ++i)
        bits.put(lengthLengths[order[i]], 3);
    for (std::uint8_t length : allLengths)
        bits.put(lengthCodes[length], lengthLengths[length]);
}

// A token's whole code: its symbol's Huffman code, then for a run the
// length's extra bits and distance code 0 (distance 1), at most 21 bits.
struct tokenBits {
    std::uint32_t value;
    int count;
};

void putBlock(bitWriter& bits, const tokenizedBlock& block, bool final)
{
    const auto& runs = lengthCodes();
    std::vector<std::uint32_t> frequencies(literalLengthSymbols);
    for (int token = 0; token < tokenValues; ++token)
        frequencies[token < 256 ? token : runs[token - 256].symbol] += block.countOfToken[token];
    frequencies[endOfBlock] = 1;
    const std::vector<std::uint8_t> lengths = codeLengths(frequencies, longestCode);
    const std::vector<std::uint16_t> codes = canonicalCodes(lengths);
    std::vector<tokenBits> codeOfToken(tokenValues);
    for (int token = 0; token < 256; ++token)
        codeOfToken[token] = {codes[token], lengths[token]};
    for (int length = static_cast<int>(shortestRun); length <= static_cast<int>(longestRun); ++length) {
        const lengthCode& run = runs[length];
        const int symbolBits = lengths[run.symbol];
        codeOfToken[256 + length] = {codes[run.symbol] | static_cast<std::uint32_t>(run.extraValue) << symbolBits,
                                     symbolBits + run.extraBits + 1};
    }

    std::uint64_t blockBits = 0;
    for (int token = 0; token < tokenValues; ++token)
        blockBits += std::uint64_t{block.countOfToken[token]} * static_cast<std::uint64_t>(codeOfToken[token].count);
    // The header takes at most a few hundred bytes.
    bits.reserve(static_cast<std::size_t>(blockBits / 8) + 1024);
    bits.put(final ? 1 : 0, 1);
    bits.put(2, 2); // dynamic Huffman codes
    putDynamicHeader(bits, lengths, std::vector<std::uint8_t>(distanceSymbols, 1));
    // Two tokens (at most 42 bits) fit beside the 7 bits a write leaves.
    const std::size_t pairs = block.tokens.size() / 2;
    const std::uint16_t* token = block.tokens.data();
    for (std::size_t pair = 0; pair < pairs; ++pair, token += 2) {
        bits.add(codeOfToken[token[0]].value, codeOfToken[token[0]].count);
        bits.add(codeOfToken[token[1]].value, codeOfToken[token[1]].count);
        bits.writeWholeBytes();
    }
    if (block.tokens.size() % 2)
        bits.put(codeOfToken[*token].value, codeOfToken[*token].count);
    bits.put(codes[endOfBlock], lengths[endOfBlock]);
}

} // namespace

void appendRunDeflate(const unsigned char* bytes, std::size_t size, bool last, std::vector<unsigned char>& out)
{
    // Room for what the part most likely takes, so that the output seldom
    // moves while it grows.
    out.reserve(out.size() + size + size / 2 + 1024);
    bitWriter bits(out);
    tokenizedBlock block;
    std::size_t at = 0;
    do {
        const std::size_t blockSize = std::min(blockBytes, size - at);
        const bool finalBlock = last && at + blockSize == size;
        tokenize(bytes + at, blockSize, at > 0, block);
        putBlock(bits, block, finalBlock);
        at += blockSize;
    } while (at < size);
    if (!last) {
        // An empty stored block: three header bits, then LEN 0 and NLEN
        // 0xffff from the next byte boundary on.
        bits.reserve(16);
        bits.put(0, 3);
        bits.flushToByte();
        for (unsigned char byte : {0x00, 0x00, 0xff, 0xff})
            bits.putByte(byte);
        return;
    }
    bits.flushToByte();
}
