#pragma once
// The program's file-system vocabulary.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "system_handles.h"

// ---- files -----------------------------------------------------------------------------------

// An open file; copies share the one handle, which closes when the last copy goes. Every open
// allows other processes to read, write and delete the file meanwhile.
class file_handle {
public:
    static file_handle open_read(const std::wstring& path);
    // Creates the file, or empties one that exists.
    static file_handle open_write(const std::wstring& path);

    // Absolute byte position from the start of the file.
    void seek(std::int64_t offset) const;
    // One ReadFile of at most 0x7FFFFFFF bytes: the count read (possibly short), or -1 at end of file.
    std::int32_t read(void* buffer, std::size_t size) const;
    // Writes all of the data.
    void write(const void* data, std::size_t size) const;

    file_handle(const file_handle&) = default;
    file_handle& operator=(const file_handle&) = default;
    // The moved-from object is no longer open but keeps its path for the report of a misuse.
    file_handle(file_handle&& other) : path_(other.path_), handle_(std::move(other.handle_)) {}
    file_handle& operator=(file_handle&& other) {
        path_ = other.path_;
        handle_ = std::move(other.handle_);
        return *this;
    }

    const std::wstring& path() const { return path_; }
    // False once the handle has been moved away.
    bool is_open() const { return static_cast<bool>(handle_); }

private:
    file_handle(std::wstring path, shared_handle handle) : path_(std::move(path)), handle_(std::move(handle)) {}
    void require_open(const wchar_t* function) const;

    std::wstring path_;
    shared_handle handle_;
};

// Reads a text file line by line through a 4096-byte buffer: UTF-8, or UTF-16 LE when the file starts
// with its byte-order mark. A leading byte-order mark is not part of the first line.
class file_reader {
public:
    explicit file_reader(const std::wstring& path);
    explicit file_reader(file_handle file);
    file_reader(file_reader&&) noexcept;
    file_reader& operator=(file_reader&&) noexcept;
    ~file_reader();

    // The next line without its terminator (LF, CR LF or a lone CR). `at_end` becomes true only
    // for the empty line returned once the file is exhausted, so a last line without terminator
    // is returned with `at_end` false and the call after it gives "" with `at_end` true.
    std::wstring read_line(bool& at_end);

    class impl;

private:
    std::unique_ptr<impl> impl_;
};

// ---- directories -----------------------------------------------------------------------------

struct directory_entry {
    std::wstring file_name;   // as found, without the directory
    DWORD attributes;         // dwFileAttributes
};

// The entries of one directory except "." and "..", in the order the system returns them.
std::vector<directory_entry> enumerate_directory(const std::wstring& directory);

// ---- paths -----------------------------------------------------------------------------------

// Canonical form: no "." or ".." parts, backslashes only, no trailing or doubled backslashes
// (a leading "\\" of a network path stays).
std::wstring canonicalize_path(const std::wstring& path);
std::wstring parent_directory(const std::wstring& path);
// "X:\", the one path whose trailing backslash stays.
bool is_drive_root(const std::wstring& path);
// `relative` inside `directory`, with one backslash between them also when the directory is a drive's
// root ("C:\").
std::wstring path_under(const std::wstring& directory, const std::wstring& relative);
// The text after the last backslash, or the whole text.
std::wstring file_name_of(const std::wstring& path);
// A new GUID in registry form: {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}.
std::wstring create_guid();
// directory\prefix{GUID}suffix; nothing is created on disk.
std::wstring make_unique_path(const std::wstring& directory, const std::wstring& prefix, const std::wstring& suffix);
void set_current_directory(const std::wstring& path);

// ---- one-shot operations ---------------------------------------------------------------------

// Overwrites an existing target.
void copy_file(const std::wstring& source, const std::wstring& target);
// Renames source to target, replacing a target that exists in the same step, so that source is never
// lost on the way. A missing source is nothing to rename.
void rename_file_replacing(const std::wstring& source, const std::wstring& target);
// A file of length 0, truncating one that exists.
void create_empty_file(const std::wstring& path);
// False for a missing path and for any directory.
bool is_path_a_file(const std::wstring& path);
// False when nothing is there or it is a file.
bool is_path_a_directory(const std::wstring& path);
// The system's own program directory (C:\Windows\system32 or the one a 32-bit process is shown).
std::wstring get_system_directory();
DWORD get_file_attributes(const std::wstring& path);

// Deletes the file at the end of its scope, however the scope ends; a failing delete is ignored.
class file_deleter {
public:
    explicit file_deleter(std::wstring path);
    file_deleter(const file_deleter&) = delete;
    file_deleter& operator=(const file_deleter&) = delete;
    ~file_deleter();

    const std::wstring& path() const { return path_; }

private:
    std::wstring path_;
};
