// A program for the registry tests: announces the window named on its command line, prints "announced" and then a
// line for every notice it answers ("notice <sender> <tag> <data in hex>"), and ends when its standard input closes.
//   window_registry_peer <class> <caption> [<answer>]

#include "platform/WindowRegistry.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cstdio>
#include <string>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <class> <caption> [<answer>]\n", argv[0]);
        return 2;
    }
    QCoreApplication app(argc, argv);
    const std::int64_t answer = argc > 3 ? std::stoll(argv[3]) : 0;

    TWindowAnnouncement window;
    window.SetCopyDataHandler([answer](const TCopyData& message) {
        // A long block is told by its size, so that the line cannot fill the pipe while the test waits.
        std::string hex = message.Data.size() > 64 ? std::to_string(message.Data.size()) + "-bytes" : "";
        for (unsigned char c : message.Data.size() > 64 ? std::string() : message.Data) {
            char digits[3];
            std::snprintf(digits, sizeof(digits), "%02x", c);
            hex += digits;
        }
        std::printf("notice %llu %u %s\n", static_cast<unsigned long long>(message.Sender), message.Tag, hex.c_str());
        std::fflush(stdout);
        return answer;
    });
    if (!window.Announce(argv[1], argv[2])) {
        std::printf("failed\n");
        return 1;
    }
    std::printf("announced %s\n", window.SocketPath().c_str());
    std::fflush(stdout);

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&input] {
        char buffer[256];
        if (::read(STDIN_FILENO, buffer, sizeof(buffer)) <= 0) {
            input.setEnabled(false);
            QCoreApplication::quit();
        }
    });
    return app.exec();
}
