#pragma once

#include "core/net/FtpClient.h"
#include "platform/Streams.h"
#include "platform/StringList.h"

#include <cstdint>
#include <memory>
#include <string>

// The one connection to the backup server, and its settings. Every operation connects when needed, logs what it
// does and how it failed, and turns every failure into its result: no error of the client leaves an operation.
// The settings are edited in memory by the settings dialog, kept in "ftpbackup.stg" through SaveToStream and
// LoadFromStream, and reach the client at the next Connect. Main thread only.
class TFTPconnection {
public:
    // Proxy types, as the settings dialog lists them; an HTTP proxy is stored but connects directly.
    enum ProxyKind : std::uint8_t { Direct = 0, Socks4 = 1, Socks4A = 2, Socks5 = 3, Http11 = 4 };

    TFTPconnection();
    ~TFTPconnection();
    TFTPconnection(const TFTPconnection&) = delete;
    TFTPconnection& operator=(const TFTPconnection&) = delete;

    // The stored form orders the fields differently from memory: host, password, login, remote directory, port,
    // proxy host, proxy user, proxy password, proxy type, use authentication, proxy port.
    void SaveToStream(TStream& stream) const;
    // Reads field by field: a record that ends early keeps the fields read before the end, and raises.
    void LoadFromStream(TStream& stream);

    // Uploads `local` under the name `remote` into the remote folder, appending when asked; the transfer runs on
    // the main thread through the worker's synchronised call. True when the file was sent.
    bool SendFile(const std::string& local, const std::string& remote, bool append);
    // The upload's main-thread step, on the stored arguments.
    void DoSendFile();
    // Downloads `remote` to `local`; without overwrite an existing local file fails the download.
    bool ReceiveFile(const std::string& remote, const std::string& local, bool overwrite);
    bool DeleteFile(const std::string& remote);
    // The names of the backups' list files ("*.inf") in the remote folder, as the server sends them; empty when
    // the server cannot be reached or listed. A name that could be more than a name ("." or "..", one holding a
    // "/" or a control character) is no backup: it is left out, with a log line.
    std::unique_ptr<TStringList> ListBackups();
    // The lines of a backup's list file, fetched through a work file of the program's own in the temporary folder
    // (never one named after `name`), which goes again on every way out; empty when the download failed. A failure
    // to make the work file or to read it reaches the caller.
    std::unique_ptr<TStringList> ReadInfo(const std::string& name);
    // Deletes volumes 0 to count-1 of the archive and its list file; each failure is logged. Always true.
    bool DeleteBackup(const std::string& name, std::int32_t count);
    // Connects, logs in and changes to the remote folder, then refills the server tree. A refused folder change
    // fails the connect but leaves the session logged in. Connected already: only the refill.
    bool Connect();
    bool Reconnect();
    // Always true.
    bool Disconnect();
    bool Connected();
    // The client's connection events, logged as "Status: " and the text.
    void OnStatus(const std::string& text);
    // Copies the settings into the login the next Connect uses.
    void ApplySettings();
    // The client's bound on each wait of an operation, from the next operation on.
    void SetTimeouts(const FtpTimeouts& timeouts) { client_.SetTimeouts(timeouts); }

    std::string Host;
    std::int32_t Port = 21;
    std::string Password;
    std::string Login;
    std::string RemoteDir;
    std::uint8_t ProxyType = Direct;
    std::uint8_t UseAuthentication = 0;
    std::string ProxyHost;
    std::string ProxyUser;
    std::string ProxyPassword;
    std::int32_t ProxyPort = 0;

private:
    // Connects when needed; false (logged by Connect) when that fails.
    bool EnsureConnected();

    FtpClient client_;
    FtpLogin login_;
    std::string localFile_;
    std::string remoteFile_;
    bool append_ = false;
    bool sent_ = false;
};
