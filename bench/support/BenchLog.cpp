#include "BenchSupport.h"

#include "core/app/UnitGo.h"

#include <fstream>
#include <stdexcept>

std::string WriteRunLog(const std::string& path) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (const TLogMessage& line : GetGlobalObject()->Log->Lines()) {
        out << line.Time << ' ' << line.Message << '\n';
    }
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
    return path;
}

void AimAtBenchServer(const std::string& host, int port) {
    TGlobalObject& app = *GetGlobalObject();
    app.FTP->Host = host;
    app.FTP->Port = port;
    app.FTP->Login = BenchFtpServer::User();
    app.FTP->Password = BenchFtpServer::Password();
    app.FTP->RemoteDir = "backups";
}
