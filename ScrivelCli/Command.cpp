#include "ScrivelCli/Command.hpp"

namespace scrivel::cli {

std::vector<Command> allCommands()
{
    return {inspectCommand(), exportCommand()};
}

} // namespace scrivel::cli
