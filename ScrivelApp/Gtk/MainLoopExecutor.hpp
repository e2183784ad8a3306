#pragma once

#include "ScrivelApp/BridgeHost.hpp"

namespace scrivel {

// Runs tasks on the GTK main loop, in the order posted (idle sources of one
// priority are dispatched first in, first out). Thread-safe.
class MainLoopExecutor final : public MainThreadExecutor {
public:
    void post(std::function<void()> task) override;
};

} // namespace scrivel
