#pragma once

#include "platform/StateFile.h"
#include "platform/Streams.h"

#include <functional>
#include <optional>
#include <string>

class TWorkFile;

// The one encryption format of the stored files and the encrypted volumes: AES-128 keyed by the MD5 digest of the
// pass phrase's bytes; starting vector = the zero block encrypted under that key; cipher block chaining over the
// full 16-byte blocks; a tail of 1 to 15 bytes XORed with the encryption of the last chaining value. No header, no
// padding: the output is exactly as long as the input, and the same phrase and input give the same output.

// Set the destination's size to 0, then turn the source's whole size, read from its position, into the
// destination. Failures are absorbed silently; the destination then holds what was written before them.
void EncryptStreamWithKey(TStream& source, TStream& destination, const std::string& passPhrase);
void DecryptStreamWithKey(TStream& source, TStream& destination, const std::string& passPhrase);

// The same without the silence: raises the stream's or the cipher's failure. The file operations and their log
// lines are built on it. `cancelled`, when given, is asked before each piece; once it answers true the call raises
// EAborted, the destination holding the pieces before.
void CryptStream(TStream& source, TStream& destination, const std::string& passPhrase, bool encrypt,
                 const std::function<bool()>& cancelled = {});

// The stored files encrypted as a whole. Read into memory decrypted (positioned at 0); empty when there is no such
// file; any failure is raised, so that a file which is there but cannot be read is never taken for a missing one.
// Written as a state file of the program's (TStateFile::Write: whole or not at all, readable by the owner only, as
// they hold passwords); a refusal or a failure is raised and keeps the old file.
std::optional<TMemoryStream> ReadEncryptedFile(const std::string& path, const std::string& passPhrase);
void WriteEncryptedFile(TStateFile& file, TStream& plain, const std::string& passPhrase);

// Encrypt (decrypt) a whole file into another, with their log lines: true when the destination holds the
// result. The destination is a new file, made under its name with mode 0600 and never through a link
// (TProgramFile::NewFile): anything already at the name is refused and left as it is. A failure is logged with its
// message and gives false, and the destination made is removed. A termination signal (TerminationRequested) ends
// the work within a piece, as a failure.
bool EncryptFile(const std::string& source, const std::string& destination, const std::string& password);
bool DecryptFile(const std::string& source, const std::string& destination, const std::string& password);
// The same into a work file of the caller's (a restore's plain volume), written from its start through the file
// made, never opened again by its name.
bool DecryptFile(const std::string& source, TWorkFile& destination, const std::string& password);
