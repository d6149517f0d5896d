#pragma once

#include <functional>

class ExchangeSerialiser;
class PipelineClock;
class PipelinePasses;
class PipelinePort;
struct PipelineState;

// Runs one tick: the passes in their order. A large fleet's tick goes on over several
// event-loop turns; a tick that starts while another is still under way is skipped.
class TickRunner final
{
public:
    TickRunner(PipelinePort &port, PipelineState &lists, const PipelineClock &clock, PipelinePasses &passes,
               ExchangeSerialiser &exchanges);
    TickRunner(const TickRunner &) = delete;
    TickRunner &operator=(const TickRunner &) = delete;

    void tick();

private:
    void continueTick(std::function<void()> rest);
    void discoverOrRedraw();

    PipelinePort &port;
    PipelineState &lists;
    const PipelineClock &clock;
    PipelinePasses &passes;
    ExchangeSerialiser &exchanges;
    bool tickRunning = false;
};
