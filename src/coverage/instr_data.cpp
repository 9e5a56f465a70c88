#include "coverage/instr_data.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <string_view>
#include <tuple>

#include "coverage/coverage_error.h"
#include "ryn/probe_format.h"

namespace coverage {
namespace {

// Reads lines and keeps the line number for messages.
class LineReader {
public:
    LineReader(std::istream& in, const std::string& origin) : in_(in), origin_(origin) {}

    std::string next(const char* expected) {
        std::string line;
        if (!std::getline(in_, line)) {
            fail(std::string("ends before ") + expected);
        }
        ++number_;
        return line;
    }

    bool more() { return in_.peek() != std::char_traits<char>::eof(); }

    [[noreturn]] void fail(const std::string& what) const {
        throw CoverageError(origin_ + ": malformed instrumentation data: " +
                            (number_ ? "line " + std::to_string(number_) + ": " : "") + what);
    }

private:
    std::istream& in_;
    const std::string& origin_;
    size_t number_ = 0;
};

// The value of a "key value" header line.
std::string header_value(LineReader& reader, const std::string& key) {
    const std::string line = reader.next(("the " + key + " line").c_str());
    if (!line.starts_with(key + " ") || line.size() == key.size() + 1) {
        reader.fail("expected \"" + key + " <value>\"");
    }
    return line.substr(key.size() + 1);
}

template <typename T>
T number_field(LineReader& reader, std::string_view text, int base, const char* name) {
    T value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
        reader.fail(std::string("bad ") + name + " \"" + std::string(text) + "\"");
    }
    return value;
}

// Splits at tabs; the last field keeps any tab beyond max_fields.
std::vector<std::string_view> split_fields(std::string_view rest, size_t max_fields) {
    std::vector<std::string_view> fields;
    for (size_t tab;
         fields.size() + 1 < max_fields && (tab = rest.find('\t')) != std::string_view::npos;) {
        fields.push_back(rest.substr(0, tab));
        rest.remove_prefix(tab + 1);
    }
    fields.push_back(rest);
    return fields;
}

Block parse_block(LineReader& reader, const std::string& line) {
    // The file path, last, may hold any character but a tab.
    const std::vector<std::string_view> fields = split_fields(line, 7);
    if (fields.size() != 7 || fields[6].find('\t') != std::string_view::npos) {
        reader.fail("a block needs 7 tab-separated fields");
    }
    Block block;
    block.addr = number_field<uint64_t>(reader, fields[0], 16, "address");
    block.insn_count = number_field<uint32_t>(reader, fields[1], 10, "instruction count");
    block.line = number_field<uint32_t>(reader, fields[2], 10, "line");
    block.flags = number_field<uint32_t>(reader, fields[3], 10, "flags");
    block.count = number_field<uint64_t>(reader, fields[4], 10, "count");
    block.function = fields[5];
    block.file = fields[6];
    return block;
}

Branch parse_branch(LineReader& reader, const std::string& line) {
    const std::vector<std::string_view> fields = split_fields(line, 4);
    if (fields.size() != 4 || fields[3].find('\t') != std::string_view::npos) {
        reader.fail("a branch needs 4 tab-separated fields");
    }
    Branch branch;
    branch.addr = number_field<uint64_t>(reader, fields[0], 16, "branch address");
    branch.block = number_field<uint64_t>(reader, fields[1], 16, "block address");
    branch.taken = number_field<uint64_t>(reader, fields[2], 10, "taken count");
    branch.not_taken = number_field<uint64_t>(reader, fields[3], 10, "not-taken count");
    return branch;
}

EntryCalls parse_calls(LineReader& reader, const std::string& line) {
    const std::vector<std::string_view> fields = split_fields(line, 2);
    if (fields.size() != 2 || fields[1].find('\t') != std::string_view::npos) {
        reader.fail("a function's calls need 2 tab-separated fields");
    }
    return {number_field<uint64_t>(reader, fields[0], 16, "entry address"),
            number_field<uint64_t>(reader, fields[1], 10, "calls")};
}

IndirectTarget parse_indirect(LineReader& reader, const std::string& line) {
    const std::vector<std::string_view> fields = split_fields(line, 4);
    if (fields.size() != 4) {
        reader.fail("an indirect target needs 4 tab-separated fields");
    }
    IndirectTarget target;
    target.site = number_field<uint64_t>(reader, fields[0], 16, "site address");
    target.target = number_field<uint64_t>(reader, fields[1], 16, "target address");
    target.count = number_field<uint64_t>(reader, fields[2], 10, "count");
    target.object = std::string(fields[3]);
    if ((target.target == 0) != target.object.empty()) {
        reader.fail("a target needs its object, and only a target");
    }
    return target;
}

template <typename Item>
void parse_section(LineReader& reader, const char* key, std::vector<Item>& items,
                   Item (*parse)(LineReader&, const std::string&)) {
    const std::string count_text = header_value(reader, key);
    const auto count = number_field<size_t>(reader, count_text, 10, key);
    items.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        items.push_back(parse(reader, reader.next(key)));
        if (i > 0 && items[i].addr <= items[i - 1].addr) {
            reader.fail(std::string(key) + " addresses must ascend");
        }
    }
}

}  // namespace

const Block* InstrData::block_at(uint64_t addr) const {
    const auto it = std::lower_bound(blocks.begin(), blocks.end(), addr,
                                     [](const Block& block, uint64_t a) { return block.addr < a; });
    return it != blocks.end() && it->addr == addr ? &*it : nullptr;
}

bool Block::is_function_entry() const { return (flags & RYN_PROBE_FUNCTION_ENTRY) != 0; }

InstrData parse_instr_data(std::istream& in, const std::string& origin) {
    LineReader reader(in, origin);
    if (reader.next("the header") != RYN_DATA_HEADER) {
        reader.fail("expected \"" RYN_DATA_HEADER "\"");
    }
    InstrData data;
    data.object = header_value(reader, "object");
    data.digest = header_value(reader, "digest");
    if (data.digest.size() != RYN_DIGEST_CHARS ||
        data.digest.find_first_not_of("0123456789abcdef") != std::string::npos) {
        reader.fail("the digest must be " + std::to_string(RYN_DIGEST_CHARS) +
                    " lowercase hex digits");
    }
    data.program = header_value(reader, "program");
    const std::string counts = header_value(reader, "counts");
    if (counts != "exact" && counts != "runs") {
        reader.fail("expected \"counts exact\" or \"counts runs\"");
    }
    data.counts_exact = counts == "exact";
    parse_section(reader, "blocks", data.blocks, parse_block);
    parse_section(reader, "branches", data.branches, parse_branch);
    parse_section(reader, "calls", data.calls, parse_calls);
    const auto indirect_count =
        number_field<size_t>(reader, header_value(reader, "indirect"), 10, "indirect");
    for (size_t i = 0; i < indirect_count; ++i) {
        data.indirect.push_back(parse_indirect(reader, reader.next("indirect")));
    }
    std::ranges::sort(data.indirect, {},
                      [](const IndirectTarget& t) { return std::tie(t.site, t.target, t.object); });
    if (reader.more()) {
        reader.next("the end");  // so the message names the first extra line
        reader.fail("more lines than the blocks, branches, calls and indirect targets announced");
    }
    return data;
}

InstrData read_instr_data_file(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        throw CoverageError("cannot read " + path + ": " + std::strerror(errno));
    }
    return parse_instr_data(in, path);
}

void write_instr_data(std::ostream& out, const InstrData& data) {
    out << RYN_DATA_HEADER << "\nobject " << data.object << "\ndigest " << data.digest
        << "\nprogram " << data.program << "\ncounts " << (data.counts_exact ? "exact" : "runs")
        << "\nblocks " << data.blocks.size() << "\n";
    for (const Block& b : data.blocks) {
        out << std::hex << b.addr << std::dec << '\t' << b.insn_count << '\t' << b.line << '\t'
            << b.flags << '\t' << b.count << '\t' << b.function << '\t' << b.file << '\n';
    }
    out << "branches " << data.branches.size() << "\n";
    for (const Branch& b : data.branches) {
        out << std::hex << b.addr << '\t' << b.block << std::dec << '\t' << b.taken << '\t'
            << b.not_taken << '\n';
    }
    out << "calls " << data.calls.size() << "\n";
    for (const EntryCalls& c : data.calls) {
        out << std::hex << c.addr << std::dec << '\t' << c.calls << '\n';
    }
    out << "indirect " << data.indirect.size() << "\n";
    for (const IndirectTarget& t : data.indirect) {
        out << std::hex << t.site << '\t' << t.target << std::dec << '\t' << t.count << '\t'
            << t.object << '\n';
    }
}

}  // namespace coverage
