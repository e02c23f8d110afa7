#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "platform/ne/packet_tunnel_provider_base.h"
#include "platform/ne/provider_stop_reason.h"
#include "platform/ne/tunnel_control_protocol.h"
#include "platform/ne/tunnel_status.h"
#include "platform/ne/wake_detector.h"
#include "platform/runtime/clock.h"

namespace kavri {

struct TunnelHostConfig {
    // Where the control socket goes (the shared directory).
    std::filesystem::path directory;
    std::string socketName = std::string(TunnelControlProtocol::socketName);
    // The resume-from-sleep check (interval, threshold, clock readings).
    WakeDetector::Config wake;
};

// What the system does around a packet-tunnel provider, for the durnel
// process: it makes a new provider for each tunnel run, drives the run from
// the requests of its clients on a Unix socket (start, stop, wake, provider
// messages) and reports the tunnel's status to every client.
//
// - start: disconnected → connecting → connected (completion without error,
//   the connected date is set) or → disconnected (completion with an error,
//   kept as the last error). A start while disconnecting waits until the
//   previous run has stopped and its provider is gone (a stop meanwhile
//   fails it; a second such start is refused); any other start while not
//   disconnected is refused.
// - stop: → disconnecting → disconnected when the provider's stop completes.
//   A stop while connecting is refused to the starter at once, and reaches
//   the provider only once its start has completed.
// - The provider's cancelTunnelWithError stops its run with providerFailed
//   and reports its error.
// - Provider messages and wake reach the provider only while connected or
//   reasserting.
// - A resume from suspend (WakeDetector) calls wake() on the provider.
// Calls into the provider are made one at a time, in the order the requests
// came, on a thread of the host's; a start or a stop is waited for before the
// next call. Completions may come on any thread, late or twice: only the
// first counts. A run's provider is dropped (its tasks ended) once its stop
// has completed, or its start has failed, before the next start reaches a
// new one.
class TunnelHost {
public:
    using ProviderFactory = std::function<std::unique_ptr<PacketTunnelProviderBase>()>;

    // Creates the socket and starts serving; throws std::system_error when the
    // socket cannot be made (another host runs there, a bad path).
    // `makeProvider` gives each run its provider.
    TunnelHost(ProviderFactory makeProvider, TunnelHostConfig config, Clock& clock = Clock::system());
    // One provider for every run (tests that drive a provider directly).
    TunnelHost(std::unique_ptr<PacketTunnelProviderBase> provider, TunnelHostConfig config,
               Clock& clock = Clock::system());
    // Closes the socket and drops the provider; a run still up is not
    // stopped (stopAndWait first for that).
    ~TunnelHost();
    TunnelHost(const TunnelHost&) = delete;
    TunnelHost& operator=(const TunnelHost&) = delete;

    TunnelControlProtocol::Snapshot snapshot() const;
    std::filesystem::path socketPath() const;

    // Stops the run (if any) with `reason` and waits, in real time at most
    // `timeout`, until the tunnel is disconnected. True when it is.
    bool stopAndWait(ProviderStopReason reason, std::chrono::milliseconds timeout);

private:
    class Core;
    std::unique_ptr<PacketTunnelProviderBase> provider_;  // the one provider of every run, if given
    std::shared_ptr<Core> core_;
};

}  // namespace kavri
