// Files, directories and paths.

#include "fileio.h"

#include <ntsecapi.h>

#include <array>
#include <limits>
#include <optional>

#include "agent.h"

namespace {

constexpr DWORD full_sharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The open helpers report on behalf of the operation that called them, so the site comes from there.
[[noreturn]] void throw_open_failure(const source_site& site, DWORD error, const std::wstring& path, bool for_write) {
    switch (error) {
    case ERROR_ACCESS_DENIED:
        throw file_access_denied_exception(site, L"CreateFileW", error,
                                           for_write ? L"write access denied" : L"read access denied", path);
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        throw file_not_found_exception(site, L"CreateFileW", error, L"file not found", path);
    default:
        throw file_exception(site, L"CreateFileW", error,
                             for_write ? L"open for write failed" : L"open for read failed", path);
    }
}

HANDLE create_file(const std::wstring& path, DWORD access, DWORD disposition) {
    return CreateFileW(path.c_str(), access, full_sharing, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Windows reads only the backslash as a separator in the resolution of "." and "..", so "C:/x/../y"
// would keep its "..".
std::wstring with_backslashes(std::wstring path) {
    for (wchar_t& c : path) {
        if (c == L'/') c = L'\\';
    }
    return path;
}

// Resolves "." and ".." as PathCanonicalizeW does for the paths the program passes, without loading
// SHLWAPI (and with it USER32 and GDI32), and for paths of any length (PathCanonicalizeW fails on
// MAX_PATH characters or more, and an agent installed that deep must still run). Unlike
// GetFullPathNameW it never consults the current directory.
std::wstring resolve_dot_segments(const std::wstring& path) {
    std::wstring root;
    std::size_t position = 0;
    if (path.starts_with(L"\\\\")) {
        position = 2;
    } else if (path.size() >= 2 && path[1] == L':') {
        position = path.size() > 2 && path[2] == L'\\' ? 3 : 2;
    } else if (path.starts_with(L"\\")) {
        position = 1;
    }
    root = path.substr(0, position);
    std::vector<std::wstring> segments;
    while (position <= path.size()) {
        std::size_t end = path.find(L'\\', position);
        if (end == std::wstring::npos) end = path.size();
        std::wstring segment = path.substr(position, end - position);
        if (segment == L"..") {
            if (!segments.empty()) segments.pop_back();
        } else if (!segment.empty() && segment != L".") {
            segments.push_back(std::move(segment));
        }
        position = end + 1;
    }
    std::wstring result = root;
    for (std::size_t i = 0; i < segments.size(); ++i) {
        if (i > 0) result += L'\\';
        result += segments[i];
    }
    return result;
}

// Removes trailing backslashes, but not the one of a drive's root: "C:" alone names the current
// directory on drive C, not its root. Collapses runs of backslashes, except the leading pair that
// makes a network path: collapsing it would name a different place.
void normalize_path(std::wstring& path) {
    if (path.empty()) return;
    while (!path.empty() && path.back() == L'\\' && !is_drive_root(path)) path.pop_back();
    std::wstring collapsed;
    collapsed.reserve(path.size());
    for (std::size_t i = 0; i < path.size(); ++i) {
        wchar_t c = path[i];
        bool unc_lead = i == 1 && path[0] == L'\\';
        if (c == L'\\' && !collapsed.empty() && collapsed.back() == L'\\' && !unc_lead) continue;
        collapsed.push_back(c);
    }
    path = std::move(collapsed);
}

// Owner of a directory search; closes it also when an error unwinds the listing.
class find_handle {
public:
    explicit find_handle(HANDLE handle) : handle_(handle) {}
    find_handle(const find_handle&) = delete;
    find_handle& operator=(const find_handle&) = delete;
    ~find_handle() {
        if (handle_ == INVALID_HANDLE_VALUE) return;
        LOG_TRACE(L"find_handle: close find handle: handle=0x%x", reinterpret_cast<std::uintptr_t>(handle_));
        FindClose(handle_);
    }
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

}  // namespace

// ---- file_handle ------------------------------------------------------------------------------

file_handle file_handle::open_read(const std::wstring& path) {
    HANDLE handle = create_file(path, GENERIC_READ, OPEN_EXISTING);
    if (handle == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        throw_open_failure(AGENT_HERE, error, path, false);
    }
    return file_handle(path, shared_handle(handle));
}

file_handle file_handle::open_write(const std::wstring& path) {
    HANDLE handle = create_file(path, GENERIC_WRITE, CREATE_ALWAYS);
    if (handle == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        throw_open_failure(AGENT_HERE, error, path, true);
    }
    return file_handle(path, shared_handle(handle));
}

void file_handle::require_open(const wchar_t* function) const {
    if (!is_open()) log_fatal_and_exit(function, AGENT_FILE, __LINE__, format_text(L"File not open: path=[%s]", path_));
}

void file_handle::seek(std::int64_t offset) const {
    require_open(AGENT_FUNC);
    LARGE_INTEGER distance;
    distance.QuadPart = offset;
    if (!SetFilePointerEx(handle_.get(), distance, nullptr, FILE_BEGIN)) {
        DWORD error = GetLastError();
        AGENT_THROW(file_exception, L"SetFilePointerEx", error, L"seek failed", path_);
    }
}

std::int32_t file_handle::read(void* buffer, std::size_t size) const {
    require_open(AGENT_FUNC);
    constexpr std::size_t largest = std::numeric_limits<std::int32_t>::max();
    DWORD wanted = static_cast<DWORD>(size > largest ? largest : size);
    DWORD count = 0;
    if (!ReadFile(handle_.get(), buffer, wanted, &count, nullptr)) {
        DWORD error = GetLastError();
        AGENT_THROW(file_exception, L"ReadFile", error, L"read failed", path_);
    }
    return count == 0 ? -1 : static_cast<std::int32_t>(count);
}

void file_handle::write(const void* data, std::size_t size) const {
    require_open(AGENT_FUNC);
    try {
        write_all(handle_, data, static_cast<DWORD>(size));
    } catch (const system_exception& e) {
        AGENT_THROW(file_exception, e.call(), e.error(), L"write failed", path_);
    }
}

// ---- file_reader ------------------------------------------------------------------------------

class file_reader::impl {
public:
    static constexpr int end_of_file = -1;

    // Windows editors save text with a byte-order mark: Notepad and PowerShell 5's Set-Content as
    // UTF-8, PowerShell 5's ">" and Out-File as UTF-16 LE. Other files are UTF-8 without one.
    explicit impl(file_handle file) : file_(std::move(file)) {
        count_ = file_.read(buffer_.data(), buffer_.size());
        if (count_ >= 3 && buffer_[0] == 0xEF && buffer_[1] == 0xBB && buffer_[2] == 0xBF) position_ = 3;
        utf16_ = count_ >= 2 && buffer_[0] == 0xFF && buffer_[1] == 0xFE;
        if (utf16_) position_ = 2;
    }

    // The next byte as 0..255, or end_of_file.
    int get_char() {
        for (;;) {
            if (count_ == -1) return end_of_file;
            if (position_ < count_) return buffer_[position_++];
            // A short fill already met the end: asking again would only cost a ReadFile.
            if (count_ > 0 && count_ < static_cast<std::int32_t>(buffer_.size())) {
                count_ = -1;
                position_ = 0;
                return end_of_file;
            }
            count_ = file_.read(buffer_.data(), buffer_.size());
            position_ = 0;
            if (count_ == -1) return end_of_file;
        }
    }

    void unget_char() {
        if (count_ == -1) LOG_FATAL_AND_EXIT(L"unget_char: at eof");
        if (position_ < 1) LOG_FATAL_AND_EXIT(L"unget_char: at beginning of buffer");
        --position_;
    }

    // The next byte of UTF-8, or 16-bit unit of UTF-16 (an odd last byte is a replacement character).
    int get_unit() {
        int low = get_char();
        if (!utf16_ || low == end_of_file) return low;
        int high = get_char();
        return high == end_of_file ? 0xFFFD : low | high << 8;
    }

    std::wstring read_line(bool& at_end) {
        std::string bytes;
        std::wstring units;
        for (;;) {
            int c = get_unit();
            if (c == end_of_file) {
                at_end = bytes.empty() && units.empty();
                break;
            }
            if (c == '\n') {
                at_end = false;
                break;
            }
            if (c == '\r') {
                int next = get_unit();
                // A unit of UTF-16 never straddles two fills: the buffer and the mark are of even size.
                if (next != '\n' && next != end_of_file) {
                    unget_char();
                    if (utf16_) unget_char();
                }
                at_end = false;
                break;
            }
            if (utf16_) units.push_back(static_cast<wchar_t>(c));
            else bytes.push_back(static_cast<char>(c));
        }
        return utf16_ ? units : to_wstring(bytes);
    }

private:
    std::array<unsigned char, 4096> buffer_{};
    file_handle file_;
    std::int32_t position_ = 0;
    std::int32_t count_ = 0;
    bool utf16_ = false;
};

file_reader::file_reader(const std::wstring& path) : file_reader(file_handle::open_read(path)) {}
file_reader::file_reader(file_handle file) : impl_(std::make_unique<impl>(std::move(file))) {}
file_reader::file_reader(file_reader&&) noexcept = default;
file_reader& file_reader::operator=(file_reader&&) noexcept = default;
file_reader::~file_reader() = default;

std::wstring file_reader::read_line(bool& at_end) { return impl_->read_line(at_end); }

// ---- directories ------------------------------------------------------------------------------

std::vector<directory_entry> enumerate_directory(const std::wstring& directory) {
    if (directory.empty()) LOG_FATAL_AND_EXIT(L"directory empty");
    wchar_t last = directory.back();
    std::wstring pattern = directory + (last == L':' || last == L'\\' ? L"*" : L"\\*");

    std::vector<directory_entry> entries;
    WIN32_FIND_DATAW data;
    find_handle search(FindFirstFileW(pattern.c_str(), &data));
    if (search.get() == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) return entries;
        last_error_translator failure(L"FindFirstFileW", error);
        failure.path = directory;
        failure.translate();
    }
    do {
        std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") entries.push_back(directory_entry{std::move(name), data.dwFileAttributes});
    } while (FindNextFileW(search.get(), &data));
    DWORD error = GetLastError();
    if (error != ERROR_NO_MORE_FILES) {
        last_error_translator failure(L"FindNextFileW", error);
        failure.path = directory;
        failure.translate();
    }
    return entries;
}

// ---- paths ------------------------------------------------------------------------------------

std::wstring canonicalize_path(const std::wstring& path) {
    std::wstring result = with_backslashes(path);
    // "C:" alone names the current directory on drive C, not its root.
    if (result.size() == 2 && result[1] == L':') return result;
    result = resolve_dot_segments(result);
    normalize_path(result);
    return result;
}

std::wstring parent_directory(const std::wstring& path) { return canonicalize_path(path + L"\\.."); }

bool is_drive_root(const std::wstring& path) { return path.size() == 3 && path[1] == L':' && path[2] == L'\\'; }

std::wstring path_under(const std::wstring& directory, const std::wstring& relative) {
    if (!directory.empty() && directory.back() == L'\\') return directory + relative;
    return directory + L"\\" + relative;
}

std::wstring get_system_directory() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        UINT length = GetSystemDirectoryW(buffer.data(), static_cast<UINT>(buffer.size()));
        if (length == 0) throw_last_error(L"GetSystemDirectoryW");
        // A buffer too small gets the size it needs, terminator included.
        if (length < buffer.size()) {
            buffer.resize(length);
            return buffer;
        }
        buffer.assign(length, L'\0');
    }
}

std::wstring file_name_of(const std::wstring& path) {
    auto last = path.rfind(L'\\');
    return last == std::wstring::npos ? path : path.substr(last + 1);
}

std::wstring create_guid() {
    // A random (version 4) GUID in the registry format, from ADVAPI32's generator, which every start
    // loads anyway: CoCreateGuid would bring OLE32 and the GUI libraries along.
    std::array<unsigned char, 16> bytes{};
    if (!RtlGenRandom(bytes.data(), static_cast<ULONG>(bytes.size())))
        AGENT_THROW_LAST_ERROR(system_exception, L"RtlGenRandom");
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
    static constexpr wchar_t digits[] = L"0123456789ABCDEF";
    std::wstring text = L"{";
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += L'-';
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text + L"}";
}

std::wstring make_unique_path(const std::wstring& directory, const std::wstring& prefix, const std::wstring& suffix) {
    return directory + L"\\" + prefix + create_guid() + suffix;
}

void set_current_directory(const std::wstring& path) {
    if (!SetCurrentDirectoryW(path.c_str())) {
        DWORD error = GetLastError();
        last_error_translator failure(L"SetCurrentDirectoryW", error);
        failure.path = path;
        failure.translate();
    }
}

// ---- one-shot operations ----------------------------------------------------------------------

void copy_file(const std::wstring& source, const std::wstring& target) {
    if (!CopyFileW(source.c_str(), target.c_str(), FALSE)) AGENT_THROW_LAST_ERROR(system_exception, L"CopyFileW");
}

void rename_file_replacing(const std::wstring& source, const std::wstring& target) {
    if (MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) return;
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return;
    last_error_translator failure(L"MoveFileExW", error);
    failure.path = source;
    failure.translate();
}

void create_empty_file(const std::wstring& path) {
    HANDLE handle = create_file(path, GENERIC_WRITE, CREATE_ALWAYS);
    if (handle == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        AGENT_THROW(file_exception, L"CreateFileW", error, L"open for write failed", path);
    }
    shared_handle file(handle);
    LOG_TRACE(L"create_empty_file: close handle: handle=0x%x", reinterpret_cast<std::uintptr_t>(handle));
    file.reset();
}

namespace {

// The attributes of what is at `path`; none when nothing is there.
std::optional<DWORD> attributes_if_present(const std::wstring& path, const source_site& site) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return std::nullopt;
        throw system_exception(site, L"GetFileAttributesW", error);
    }
    return attributes;
}

}  // namespace

bool is_path_a_file(const std::wstring& path) {
    std::optional<DWORD> attributes = attributes_if_present(path, AGENT_HERE);
    // A directory may carry other bits too (read-only, hidden, archive, reparse point): it is
    // still no file.
    return attributes && (*attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool is_path_a_directory(const std::wstring& path) {
    std::optional<DWORD> attributes = attributes_if_present(path, AGENT_HERE);
    return attributes && (*attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

DWORD get_file_attributes(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD error = GetLastError();
        last_error_translator failure(L"GetFileAttributesW", error);
        failure.path = path;
        failure.translate();
    }
    return attributes;
}

file_deleter::file_deleter(std::wstring path) : path_(std::move(path)) {
    if (path_.empty()) LOG_FATAL_AND_EXIT(L"path empty");
}

file_deleter::~file_deleter() { DeleteFileW(path_.c_str()); }
