#include "Process.h"

#include <QProcess>
#include <QString>
#include <QStringList>

#include <filesystem>

bool StartProgram(const std::string& path, const std::vector<std::string>& arguments,
                  const std::string& workingDirectory) {
    QStringList list;
    for (const std::string& argument : arguments) {
        list << QString::fromStdString(argument);
    }
    // Detached: the program is not reaped by us and outlives us, as a program started from the desktop does.
    return QProcess::startDetached(QString::fromStdString(path), list, QString::fromStdString(workingDirectory));
}

std::string ProgramFile() {
    std::error_code error;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string() : exe.string();
}
