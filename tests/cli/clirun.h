#ifndef KELTO_TESTS_CLIRUN_H
#define KELTO_TESTS_CLIRUN_H

#include <QString>
#include <QStringList>

#include <thread>

namespace kelto::test {

// One in-process run of a kelto-cli command line.
struct CliResult
{
    int exitCode = -1;
    QString out;
    QString err;
};

CliResult runCli(const QStringList &arguments, bool terminal = false);

// A FIFO at `path` that hands `bytes` to the first reader, as a pipe from
// another program would (`<(cat f.upg)`). A reader that stops early ends
// the writing; so does the end of the feeder when nobody read.
class FifoFeeder
{
public:
    FifoFeeder(const QString &path, const QByteArray &bytes);
    ~FifoFeeder();
    FifoFeeder(const FifoFeeder &) = delete;
    FifoFeeder &operator=(const FifoFeeder &) = delete;

private:
    QString path;
    std::thread writer;
};

} // namespace kelto::test

#endif
