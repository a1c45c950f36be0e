#ifndef KELTO_CLI_EXITCODE_H
#define KELTO_CLI_EXITCODE_H

// Exit codes scripts on the production line test for.
namespace kelto::cli {

enum ExitCode : int {
    ExitOk = 0,
    // The operation was tried and did not succeed (bad input file, device
    // error, failed upgrade).
    ExitFailed = 1,
    // The command line itself was wrong; nothing was tried.
    ExitUsage = 2,
};

} // namespace kelto::cli

#endif
