#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Our stand-in for the per-user registry: each key is one file in the configuration
// directory holding named, typed values. A file is only ever replaced whole, by one
// atomic commit (temporary file, fsync, rename, fsync of the directory), so after a crash
// or a full disk it holds either the old values or the new ones. A file that does not
// parse (bad magic, version, lengths or checksum) reads as a missing key and is renamed
// aside, so a later commit never overwrites it unseen.
//
// Not thread-safe: the user-interface thread owns the store (one instance per logon).

// Value types, with the classic numbers.
constexpr uint32_t kRegString = 1;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;

struct RegistryValue {
    uint32_t type = kRegBinary;
    std::string data;
};

using RegistryValues = std::map<std::string, RegistryValue>;

// A value seen in place: name and data point into bytes that someone else keeps alive
// (the file as read, or the caller's buffer). Saves copying megabytes of setup chunks.
struct RegistryValueView {
    std::string_view name;
    uint32_t type = kRegBinary;
    std::string_view data;
};

using RegistryValueViews = std::vector<RegistryValueView>;

enum class RegistryLoadStatus {
    kOk,        // the key exists and parsed
    kMissing,   // no such key
    kSetAside,  // the file did not parse; it was renamed aside and the key reads as missing
    kError,     // the file exists but could not be read (or not be set aside): leave it alone
};

// $XDG_CONFIG_HOME/velmora, else $HOME/.config/velmora; empty when neither variable is
// set to an absolute path.
std::string RegistryDirectory();

// The bytes of a whole file as read, in storage that is never zero-filled first.
struct FileBytes {
    std::unique_ptr<char[]> data;
    size_t size = 0;
    std::string_view view() const { return {data.get(), size}; }
};

// One key: the file <RegistryDirectory()>/<fileName>.
class RegistryKey {
public:
    explicit RegistryKey(std::string fileName) : m_fileName(std::move(fileName)) {}

    // Full path of the key's file (empty when there is no configuration directory).
    std::string Path() const;
    // Reads every value. On kSetAside, `setAsidePath` (when given) receives the new name
    // of the broken file.
    RegistryLoadStatus Load(RegistryValues& values, std::string* setAsidePath = nullptr) const;
    // The same, keeping the file's bytes in `bytes` and the values as views into them.
    RegistryLoadStatus LoadViews(FileBytes& bytes, RegistryValueViews& values,
                                 std::string* setAsidePath = nullptr) const;
    // Replaces the key's whole contents with `values` in one atomic commit; creates the
    // directory (0700) and the file (0600) as needed. False when anything failed, in which
    // case the file on disk is exactly what it was.
    bool Commit(const RegistryValues& values) const;
    // The same from views; the names must be unique.
    bool Commit(const RegistryValueViews& values) const;
    // Removes the key's file; true when it existed and is gone.
    bool Remove() const;
    // Renames the key's file aside under a name no other file has, as a load does with a
    // file that does not parse, so what it holds survives the next commit. Returns the new
    // name; empty when there was no file or it could not be renamed.
    std::string MoveAside() const;

private:
    std::string m_fileName;
};

// The encoded file contents of a set of values, and back. Exposed for tests and the
// benchmark; Decode returns false for anything but a complete, consistent file.
std::string EncodeRegistryFile(const RegistryValueViews& values);
std::string EncodeRegistryFile(const RegistryValues& values);
bool DecodeRegistryFile(std::string_view bytes, RegistryValueViews& values);
bool DecodeRegistryFile(std::string_view bytes, RegistryValues& values);

// CRC-32C of the store files: Crc32c uses the processor's instruction where there is one;
// Crc32cPortable is the table form it must agree with.
uint32_t Crc32c(const void* data, size_t size);
uint32_t Crc32cPortable(const void* data, size_t size);

// Writes `bytes` to `path` by one atomic commit (temporary file in the same directory
// with `mode`, fsync, rename, fsync of the directory). The directory must exist. False on
// any failure, leaving `path` as it was.
bool AtomicWriteFile(const std::string& path, const std::string& bytes, unsigned mode);
bool AtomicWriteFile(const std::string& path, const void* data, size_t size, unsigned mode);
// Reads a whole file, to its end whatever its size said. False when it cannot be opened
// or read (errno tells why).
bool ReadWholeFile(const std::string& path, FileBytes& bytes);

// Run-at-logon entries, as XDG autostart files: <dir>/<name>.desktop, where <dir> is
// $XDG_CONFIG_HOME/autostart, else $HOME/.config/autostart (empty when neither is set).
std::string AutostartDirectory();
// Quotes one argument for a desktop entry's Exec key: the argument in double quotes with
// '"', '`', '$' and '\' escaped, '%' doubled, then the string escapes of the file format
// applied ('\' doubled, newline, tab and carriage return as \n, \t, \r).
std::string DesktopExecQuote(const std::string& argument);
// Writes the entry `name` whose Exec key is `execLine` (already quoted), shown as `title`
// with the theme icon `icon`. False when the autostart directory cannot be created or written.
bool WriteAutostartEntry(const std::string& name, const std::string& title, const std::string& icon,
                         const std::string& execLine);
// Removes the entry; true when a file was removed.
bool RemoveAutostartEntry(const std::string& name);
// True when the autostart directory exists or could be created.
bool EnsureAutostartDirectory();

// Full path of the running executable (empty when unknown); where the file was replaced
// or removed while it runs, the path it had.
std::string ExecutablePath();
