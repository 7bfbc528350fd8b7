#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The setup document in the per-user store, cut into binary values of 1,000 bytes named
// "item" + the chunk index in lower-case hex, with "MaxLength" holding the total; and the
// run-at-logon entry. User-interface thread only.

// File of the setup key under the configuration directory.
constexpr const char* kSetupStoreFile = "setup.hive";
constexpr int kRegistryChunkSize = 1000;
// Name of the run-at-logon entry; what it shows, like the application entry installed with
// the program.
constexpr const char* kRunAtLogonName = "velmora";
constexpr const char* kRunAtLogonTitle = "Velmora IPV6";
constexpr const char* kRunAtLogonIcon = "velmora";

// Stores `length` bytes of `buffer`: every chunk and "MaxLength" in one atomic commit.
// Chunks of an older, longer document stay. Returns 1 when stored, 0 when nothing was
// (the store then still holds the previous setup).
int SaveRegistryBlob(const uint8_t* buffer, int length);

// Reads the stored document into `buffer`. Returns its length (0 or more); -1 when the key
// or a chunk is missing, a chunk does not fit the room left, or "MaxLength" holds fewer
// than 4 bytes; -2 when "MaxLength" is missing (or longer than 4 bytes) or differs from
// the total of the chunks. A store file that does not parse reads as a missing key (and
// is set aside; `setAsidePath`, when given, then receives its new name). Bytes may have
// been written into `buffer` also on failure.
int LoadRegistryBlob(uint8_t* buffer, int capacity, std::string* setAsidePath = nullptr);
// The same into `out`, which is sized to the document; `limit` bounds it as `capacity`
// does above.
int LoadRegistryBlob(std::vector<uint8_t>& out, int limit, std::string* setAsidePath = nullptr);

// Writes the run-at-logon entry: the executable's full path (the installed program's when it
// runs installed), followed by " ICON" in mode 2. Always returns 1 (also when the autostart
// directory cannot be made).
int SetRunAtLogon(int mode);

// Removes the run-at-logon entry; 1 when it was removed, else 0.
int ClearRunAtLogon();
