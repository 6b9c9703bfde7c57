// Fuzz-style tests of the program's pure parsers with fixed seeds: the line reader behind both
// configuration files, the environment dump check and conversion, the command look-up and the
// upgrade hand-over's handle text. Each case is compared with a small reference model written from
// the documented rules, so a difference names the input that shows it.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "agent.h"
#include "command_table.h"
#include "fileio.h"
#include "load_environment_defined_in_set_env_script.h"
#include "upgrade_handover.h"

namespace {

std::string hex_of(const std::string& bytes, std::size_t limit = 64) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
        out += digits[static_cast<unsigned char>(bytes[i]) >> 4];
        out += digits[static_cast<unsigned char>(bytes[i]) & 15];
    }
    if (bytes.size() > limit) out += "...(" + std::to_string(bytes.size()) + " bytes)";
    return out;
}

// ---- configuration lines ----------------------------------------------------------------------

// Bytes that matter to the reader: terminators, blanks, NUL, a byte-order mark, broken and whole
// UTF-8 sequences, plain text.
std::string random_conf_bytes(std::mt19937& random) {
    static const std::vector<std::string> pieces = {
        "\n", "\r", "\r\n", "\n\r", " ", "\t", "\v", "\f", std::string(1, '\0'), "\xEF\xBB\xBF", "\xFF", "\xFE",
        "\xC3", "\xC3\xA9", "\xE4\xB8\xAD", "\xF0\x9F\x98\x80", "\xED\xA0\x80", "\x80", "#", "-Xmx64m", "-Dx=a b",
        "C:\\java\\home", "=", "%PATH%", "\"", "a", "z"};
    std::uniform_int_distribution<int> shape(0, 9);
    std::size_t target;
    switch (shape(random)) {
    case 0: target = 0; break;
    case 1: target = 4090 + random() % 12; break;   // around the reader's 4096-byte buffer
    case 2: target = 8186 + random() % 12; break;   // around the second refill
    case 3: target = 12000 + random() % 9000; break;
    default: target = random() % 300; break;
    }
    std::string bytes;
    std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
    while (bytes.size() < target) {
        if (random() % 40 == 0) bytes.append(1000 + random() % 5000, 'x');  // a long line
        else bytes += pieces[pick(random)];
    }
    // Put a terminator exactly on a buffer boundary now and then.
    if (bytes.size() > 4096 && random() % 3 == 0) bytes[4095] = (random() % 2) ? '\r' : '\n';
    if (bytes.size() > 4097 && random() % 3 == 0) bytes[4096] = '\n';
    return bytes;
}

// The documented line rules: lines end at LF, CR LF or a lone CR; a last line without terminator
// counts; afterwards one empty line reports the end.
std::vector<std::pair<std::string, bool>> reference_lines(const std::string& bytes) {
    std::vector<std::pair<std::string, bool>> lines;
    std::string current;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        char c = bytes[i];
        if (c == '\n' || c == '\r') {
            if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
            lines.emplace_back(current, false);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) lines.emplace_back(current, false);
    lines.emplace_back("", true);
    return lines;
}

class scratch_file {
public:
    scratch_file() {
        std::wstring temp(MAX_PATH + 1, L'\0');
        temp.resize(GetTempPathW(static_cast<DWORD>(temp.size()), temp.data()));
        path_ = make_unique_path(canonicalize_path(temp), L"conf-fuzz-", L".conf");
    }
    scratch_file(const scratch_file&) = delete;
    scratch_file& operator=(const scratch_file&) = delete;
    ~scratch_file() { DeleteFileW(path_.c_str()); }
    const std::wstring& path() const { return path_; }

private:
    std::wstring path_;
};

TEST(conf_fuzz, reader_splits_random_bytes_as_documented) {
    std::mt19937 random(20240601);
    scratch_file file;
    for (int round = 0; round < 600; ++round) {
        std::string bytes = random_conf_bytes(random);
        file_handle::open_write(file.path()).write(bytes.data(), bytes.size());
        auto expected = reference_lines(bytes);
        file_reader reader(file.path());
        for (std::size_t i = 0; i < expected.size(); ++i) {
            bool at_end = false;
            std::wstring line = reader.read_line(at_end);
            ASSERT_EQ(line, to_wstring(expected[i].first)) << "line " << i << " of " << hex_of(bytes, 200);
            ASSERT_EQ(at_end, expected[i].second) << "line " << i << " of " << hex_of(bytes, 200);
        }
        // Reading on after the end stays at the end.
        bool at_end = false;
        EXPECT_EQ(reader.read_line(at_end), L"");
        EXPECT_TRUE(at_end);
    }
}

TEST(conf_fuzz, trimmed_lines_keep_everything_but_classic_blanks) {
    std::mt19937 random(7);
    for (int round = 0; round < 3000; ++round) {
        std::string bytes = random_conf_bytes(random).substr(0, 200);
        std::wstring text = to_wstring(bytes);
        std::wstring trimmed = text;
        trim(trimmed);
        auto blank = [](wchar_t c) { return c == L' ' || (c >= L'\t' && c <= L'\r'); };
        std::size_t begin = 0, end = text.size();
        while (begin < end && blank(text[begin])) ++begin;
        while (end > begin && blank(text[end - 1])) --end;
        ASSERT_EQ(trimmed, text.substr(begin, end - begin)) << hex_of(bytes);
    }
}

TEST(conf_fuzz, a_line_of_several_megabytes_is_read_whole) {
    scratch_file file;
    std::string line(3 * 1024 * 1024 + 17, 'o');
    line[12345] = '\xC3';
    line[12346] = '\xA9';
    std::string bytes = line + "\r\nsecond";
    file_handle::open_write(file.path()).write(bytes.data(), bytes.size());
    file_reader reader(file.path());
    bool at_end = false;
    EXPECT_EQ(reader.read_line(at_end), to_wstring(line));
    EXPECT_EQ(reader.read_line(at_end), L"second");
    EXPECT_FALSE(at_end);
    reader.read_line(at_end);
    EXPECT_TRUE(at_end);
}

// ---- environment dumps ------------------------------------------------------------------------

std::vector<char> units_to_bytes(const std::u16string& units) {
    std::vector<char> bytes;
    for (char16_t u : units) {
        bytes.push_back(static_cast<char>(u & 0xFF));
        bytes.push_back(static_cast<char>(u >> 8));
    }
    return bytes;
}

std::vector<char> random_dump(std::mt19937& random) {
    static const std::vector<std::u16string> entries = {
        u"PATH=C:\\windows;C:\\x", u"=Z:=Z:\\tmp", u"=C:=C:\\", u"FOO=1", u"EMPTY=", u"NOEQUALS", u"=", u"A==B",
        u"\u00e9T\u00e9=\u4e2d", u"LONG=" + std::u16string(3000, u'v'), u"S=\xD800", u"X=\xDFFF\xD800"};
    std::u16string block;
    int count = static_cast<int>(random() % 8);
    for (int i = 0; i < count; ++i) {
        block += entries[random() % entries.size()];
        block.push_back(u'\0');
    }
    block.push_back(u'\0');
    if (count == 0 && random() % 2) block.push_back(u'\0');
    std::vector<char> bytes = units_to_bytes(block);
    switch (random() % 6) {
    case 0: bytes.resize(random() % (bytes.size() + 1)); break;          // cut short anywhere
    case 1: bytes.push_back(static_cast<char>(random() % 256)); break;   // an odd trailing byte
    case 2: {                                                            // random bytes
        bytes.resize(random() % 64);
        for (char& b : bytes) b = static_cast<char>(random() % 4 == 0 ? 0 : random() % 256);
        break;
    }
    default: break;
    }
    return bytes;
}

bool reference_complete(const std::vector<char>& dump) {
    if (dump.size() < 2 || dump.size() % 2 != 0) return false;
    if (dump.size() == 2) return dump[0] == 0 && dump[1] == 0;
    for (std::size_t i = dump.size() - 4; i < dump.size(); ++i)
        if (dump[i] != 0) return false;
    return true;
}

TEST(dump_fuzz, completeness_and_conversion_follow_the_block_rules) {
    std::mt19937 random(4242);
    int complete = 0;
    for (int round = 0; round < 4000; ++round) {
        std::vector<char> dump = random_dump(random);
        std::string shown = hex_of(std::string(dump.begin(), dump.end()));
        bool is_complete = is_complete_environment_dump(dump);
        ASSERT_EQ(is_complete, reference_complete(dump)) << shown;
        if (!is_complete) continue;
        ++complete;
        // Entries up to the first empty one, per-drive "=X:" entries (anything starting with "=") left out.
        std::wstring expected;
        std::size_t units = dump.size() / 2;
        std::wstring entry;
        for (std::size_t i = 0; i < units; ++i) {
            wchar_t u = static_cast<wchar_t>(static_cast<unsigned char>(dump[2 * i]) |
                                             (static_cast<unsigned char>(dump[2 * i + 1]) << 8));
            if (u != L'\0') {
                entry.push_back(u);
                continue;
            }
            if (entry.empty()) break;
            if (entry[0] != L'=') expected += entry + L'\0';
            entry.clear();
        }
        expected.push_back(L'\0');
        std::wstring block = environment_block_from_dump(dump);
        ASSERT_EQ(block, expected) << shown;
        // A block the system can take: it ends with its terminator and no entry starts with "=".
        ASSERT_FALSE(block.empty());
        ASSERT_EQ(block.back(), L'\0');
        for (std::size_t at = 0; at < block.size() && block[at] != L'\0'; at = block.find(L'\0', at) + 1)
            ASSERT_NE(block[at], L'=') << shown;
    }
    EXPECT_GT(complete, 1000);
}

// ---- command words ----------------------------------------------------------------------------

const std::vector<std::wstring> command_words = {
    L"", L"run", L"start", L"stop", L"env", L"_restart", L"_upgrade", L"_testjvm", L"install-service",
    L"uninstall-service", L"_service", L"_service_continue", L"start-service", L"stop-service", L"_upgrade_continue",
    L"_winenv", L"_start_continue", L"_check_kill_ancestor", L"_kill_ancestor", L"_check_replace_service",
    L"_replace_service"};

wchar_t fold(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + 32) : c; }

std::optional<std::wstring> reference_find(const std::wstring& word) {
    for (const std::wstring& name : command_words) {
        if (name.size() != word.size()) continue;
        bool same = true;
        for (std::size_t i = 0; i < name.size() && same; ++i) same = fold(name[i]) == fold(word[i]);
        if (same) return name;
    }
    return std::nullopt;
}

std::wstring random_word(std::mt19937& random) {
    // Look-alikes that a careless case folding would match: dotted and dotless i, long s, Kelvin
    // sign, full-width letters, Latin-1 letters and an embedded NUL.
    static const std::wstring odd = std::wstring(L"\u0130\u0131\u017f\u212a\uff52\u00c9\u00e9\u00df_- \t\"") + L'\0';
    std::wstring word = command_words[random() % command_words.size()];
    switch (random() % 5) {
    case 0:
        for (wchar_t& c : word)
            if (random() % 2 && c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - 32);
        break;
    case 1:
        if (!word.empty()) word[random() % word.size()] = odd[random() % odd.size()];
        break;
    case 2: word.insert(random() % (word.size() + 1), 1, odd[random() % odd.size()]); break;
    case 3:
        if (!word.empty()) word.erase(random() % word.size(), 1);
        break;
    default: {
        word.clear();
        for (int n = static_cast<int>(random() % 20); n > 0; --n)
            word.push_back(random() % 3 ? static_cast<wchar_t>(L'a' + random() % 26) : static_cast<wchar_t>(random() % 0xD7FF));
        break;
    }
    }
    return word;
}

TEST(command_fuzz, look_up_folds_ascii_letters_only) {
    std::mt19937 random(1234);
    int found = 0;
    for (int round = 0; round < 5000; ++round) {
        std::wstring word = random_word(random);
        const command_entry* entry = find_command(word);
        std::optional<std::wstring> expected = reference_find(word);
        ASSERT_EQ(entry != nullptr, expected.has_value()) << to_string(word);
        if (entry == nullptr) continue;
        ++found;
        ASSERT_EQ(entry->name, *expected) << to_string(word);
        ASSERT_NE(entry->stream_setup, nullptr);
    }
    EXPECT_GT(found, 1000);
}

// ---- upgrade hand-over handle text ------------------------------------------------------------

std::wstring random_handle_text(std::mt19937& random) {
    static const std::vector<std::wstring> pieces = {L"0", L"1", L"4", L"9", L"42", L"4294967295", L"4294967296",
                                                     L"99999999999999999999", L"-", L"+", L" ", L"\t", L"x", L"0x1C",
                                                     L"\u0661", L"\uff11", L"\u3000", L".", L"e3", L""};
    std::wstring text;
    for (int n = static_cast<int>(random() % 5); n > 0; --n) text += pieces[random() % pieces.size()];
    return text;
}

// The value of the decimal digits after optional leading blanks, or nothing when there are none or
// they do not fit in 32 bits.
std::optional<std::uint32_t> leading_decimal(const std::wstring& text) {
    std::size_t at = 0;
    while (at < text.size() && (text[at] == L' ' || (text[at] >= L'\t' && text[at] <= L'\r'))) ++at;
    if (at == text.size() || text[at] < L'0' || text[at] > L'9') return std::nullopt;
    std::uint64_t value = 0;
    for (; at < text.size() && text[at] >= L'0' && text[at] <= L'9'; ++at) {
        value = value * 10 + static_cast<std::uint64_t>(text[at] - L'0');
        if (value > 0xFFFFFFFFull) return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

TEST(handle_text_fuzz, every_text_is_a_handle_value_or_a_bad_handle_string) {
    std::mt19937 random(99);
    int accepted = 0;
    for (int round = 0; round < 2000; ++round) {
        std::wstring text = random_handle_text(random);
        try {
            auto value = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(convert_string_to_system_handle(text)));
            // Never a value that would make the relay wait on this very process or thread, which
            // would never end ("-1" read by wcstoul alone is the current-process pseudo-handle).
            ASSERT_LT(value, 0xFFFFFFFAu) << "accepted: [" << to_string(text) << "]";
            if (std::optional<std::uint32_t> expected = leading_decimal(text))
                ASSERT_EQ(value, *expected) << to_string(text);
            ++accepted;
        } catch (const bad_handle_string& e) {
            ASSERT_EQ(e.input_string(), text);
            ASSERT_EQ(e.call(), L"wcstoul");
        }
    }
    EXPECT_GT(accepted, 50);
}

}  // namespace
