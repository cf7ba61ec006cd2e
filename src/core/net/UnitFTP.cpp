#include "UnitFTP.h"

#include "core/app/StoredText.h"

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
