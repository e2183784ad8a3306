#include "ScrivelCli/Command.hpp"

namespace scrivel::cli {

std::vector<Command> allCommands()
{
    return {inspectCommand(), scanCommand(), exportCommand(), redactCommand(), verifyCommand()};
}

} // namespace scrivel::cli
