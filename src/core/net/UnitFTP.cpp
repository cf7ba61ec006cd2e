#include "UnitFTP.h"

#include "core/app/StoredText.h"
#include "core/app/UnitGo.h"
#include "core/archive/UnitArchive.h"
#include "core/archive/UnitListing.h"
#include "core/net/CurlHandle.h"
#include "core/tasks/UnitGroups.h"
#include "core/worker/UnitPoolOfProcess.h"
#include "platform/Convert.h"
#include "platform/Paths.h"
#include "platform/ProgramFile.h"

namespace {

void Log(const std::string& line) {
    GetGlobalObject()->Log->Add(line);
}

SocksKind SocksOf(std::uint8_t proxyType) {
    switch (proxyType) {
    case TFTPconnection::Socks4:
        return SocksKind::Socks4;
    case TFTPconnection::Socks4A:
        return SocksKind::Socks4a;
    case TFTPconnection::Socks5:
        return SocksKind::Socks5;
    default:
        return SocksKind::None; // direct, and the HTTP proxy, which is not used
    }
}

// A name the server lists is only ever a name on the server: one that could be more (a path, or a name the
// connection could not ask for) is no backup of ours.
bool IsBackupName(const std::string& name) {
    return name != "." && name != ".." && name.find('/') == std::string::npos && !HasControlCharacter(name);
}

} // namespace

TFTPconnection::TFTPconnection() {
    client_.SetStatusHandler([this](const std::string& text) { OnStatus(text); });
    ApplySettings();
}

TFTPconnection::~TFTPconnection() {
    Disconnect();
}

void TFTPconnection::SaveToStream(TStream& stream) const {
    WriteStringToStream(stream, Host);
    WriteStringToStream(stream, Password);
    WriteStringToStream(stream, Login);
    WriteStringToStream(stream, RemoteDir);
    stream.WriteInt32(Port);
    WriteStringToStream(stream, ProxyHost);
    WriteStringToStream(stream, ProxyUser);
    WriteStringToStream(stream, ProxyPassword);
    stream.WriteByte(ProxyType);
    stream.WriteByte(UseAuthentication);
    stream.WriteInt32(ProxyPort);
}

void TFTPconnection::LoadFromStream(TStream& stream) {
    Host = ReadStringFromStream(stream);
    Password = ReadStringFromStream(stream);
    Login = ReadStringFromStream(stream);
    RemoteDir = ReadStringFromStream(stream);
    Port = stream.ReadInt32();
    ProxyHost = ReadStringFromStream(stream);
    ProxyUser = ReadStringFromStream(stream);
    ProxyPassword = ReadStringFromStream(stream);
    ProxyType = stream.ReadByte();
    UseAuthentication = stream.ReadByte();
    ProxyPort = stream.ReadInt32();
}

void TFTPconnection::ApplySettings() {
    login_.host = Host;
    login_.port = Port;
    login_.user = Login;
    login_.password = Password;
    login_.proxy.kind = SocksOf(ProxyType);
    login_.proxy.authenticate = UseAuthentication != 0;
    login_.proxy.host = ProxyHost;
    login_.proxy.user = ProxyUser;
    login_.proxy.password = ProxyPassword;
    login_.proxy.port = ProxyPort;
}

bool TFTPconnection::EnsureConnected() {
    return Connected() || Connect();
}

bool TFTPconnection::SendFile(const std::string& local, const std::string& remote, bool append) {
    localFile_ = local;
    remoteFile_ = remote;
    append_ = append;
    sent_ = false;
    if (TPool* pool = GetGlobalObject()->Pool.get()) {
        pool->SyncCall([this] { DoSendFile(); });
    } else {
        DoSendFile();
    }
    return sent_;
}

void TFTPconnection::DoSendFile() {
    sent_ = false;
    Log("Sending file... " + localFile_);
    try {
        if (!EnsureConnected()) {
            return;
        }
        client_.Put(localFile_, remoteFile_, append_);
        Log("File sent... " + localFile_);
        sent_ = true;
    } catch (const std::exception& error) {
        Log("Can't send file to the server . Error message: " + ShowControlCharacters(error.what()));
    }
}

bool TFTPconnection::ReceiveFile(const std::string& remote, const std::string& local, bool overwrite) {
    Log("Recieving file... " + ShowControlCharacters(remote));
    try {
        if (!EnsureConnected()) {
            return false;
        }
        client_.Get(remote, local, overwrite);
        return true;
    } catch (const std::exception& error) {
        Log("Can't receive file from the server. Error message: " + ShowControlCharacters(error.what()));
        return false;
    }
}

bool TFTPconnection::DeleteFile(const std::string& remote) {
    Log("Deleting file... " + ShowControlCharacters(remote));
    try {
        if (!EnsureConnected()) {
            return false;
        }
        client_.Delete(remote);
        return true;
    } catch (const std::exception& error) {
        Log("Can't delete file on the server. Error message: " + ShowControlCharacters(error.what()));
        return false;
    }
}

std::unique_ptr<TStringList> TFTPconnection::ListBackups() {
    auto list = std::make_unique<TStringList>();
    Log("List files... ");
    try {
        if (!EnsureConnected()) {
            return list;
        }
        for (std::string& name : client_.List("*.inf")) {
            if (IsBackupName(name)) {
                list->Add(std::move(name));
            } else {
                Log("The server listed \"" + ShowControlCharacters(name) +
                    "\", which is no name of a backup's list file; it was left out");
            }
        }
        Log(std::to_string(list->Count()) + " files retrieved .");
    } catch (const std::exception& error) {
        list->Clear();
        Log("Can't list files .Error message: " + ShowControlCharacters(error.what()));
    }
    return list;
}

std::unique_ptr<TStringList> TFTPconnection::ReadInfo(const std::string& name) {
    auto list = std::make_unique<TStringList>();
    Log("Retrieving information about backup files... ");
    const TWorkFile temporary("list");
    if (ReceiveFile(name, temporary.Path(), true)) {
        list->LoadFromFile(temporary.Path());
        Log("Retrieved.");
    }
    return list;
}

bool TFTPconnection::DeleteBackup(const std::string& name, std::int32_t count) {
    for (std::int32_t i = 0; i < count; ++i) {
        DeleteFile(VolumeFileName(name, i));
    }
    DeleteFile(name + ".inf");
    return true;
}

bool TFTPconnection::Connect() {
    if (!Connected()) {
        Log("Connectig to the sever...");
        try {
            ApplySettings();
            client_.Connect(login_);
            // Always, the empty folder too: the server decides what an empty CWD means.
            client_.ChangeDir(RemoteDir);
        } catch (const std::exception& error) {
            Log("Can't connect to the server. Error message: " + ShowControlCharacters(error.what()));
            return false;
        }
    }
    GetGlobalObject()->FillServerTree();
    return true;
}

bool TFTPconnection::Reconnect() {
    Disconnect();
    return Connect();
}

bool TFTPconnection::Disconnect() {
    if (client_.Connected()) {
        client_.Disconnect();
    }
    return true;
}

bool TFTPconnection::Connected() {
    return client_.Connected();
}

void TFTPconnection::OnStatus(const std::string& text) {
    Log("Status: " + ShowControlCharacters(text));
}
