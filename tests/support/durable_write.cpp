// Writes one file the durable way, for a test that watches the calls it makes:
//   durable_write <path> <text>
#include "common/durable_file.h"

#include <QString>

#include <exception>
#include <iostream>

int main(int argc, char** argv)
{
    if (argc != 3)
        return 2;
    try {
        skiascan::writeFileDurably(QString::fromLocal8Bit(argv[1]), QByteArray(argv[2]));
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n';
        return 1;
    }
    return 0;
}
