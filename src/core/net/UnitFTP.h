#pragma once

#include "platform/Streams.h"

#include <cstdint>
#include <string>

// The one connection to the backup server, and its settings. The settings are edited in memory by the settings
// dialog and kept in "ftpbackup.stg" through SaveToStream/LoadFromStream.
class TFTPconnection {
public:
    // Proxy types, as the settings dialog lists them; an HTTP proxy is stored but connects directly.
    enum ProxyKind : std::uint8_t { Direct = 0, Socks4 = 1, Socks4A = 2, Socks5 = 3, Http11 = 4 };

    TFTPconnection() = default;
    TFTPconnection(const TFTPconnection&) = delete;
    TFTPconnection& operator=(const TFTPconnection&) = delete;

    // The stored form orders the fields differently from memory: host, password, login, remote directory, port,
    // proxy host, proxy user, proxy password, proxy type, use authentication, proxy port.
    void SaveToStream(TStream& stream) const;
    // Reads field by field: a record that ends early keeps the fields read before the end, and raises.
    void LoadFromStream(TStream& stream);

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
};
