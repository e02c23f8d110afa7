#include "platform/engine/extension_provider.h"

#include "platform/engine/engine_error.h"
#include "platform/runtime/log.h"

namespace kavri {
namespace {

// The options as the framework received them: every key with its value, texts
// (configuration, token) only by their type.
std::string describe(const TunnelOptions& options) {
    std::string out;
    for (const auto& [key, value] : options.items()) {
        if (!out.empty()) out += ' ';
        out += key + "=" + (value.is_string() ? std::string("<text>") : value.dump());
    }
    return out;
}

}  // namespace

ExtensionProvider::ExtensionProvider(Clock& clock, EngineSettings settings)
    : clock_(clock), settings_(std::move(settings)) {}

ExtensionProvider::~ExtensionProvider() {
    std::shared_ptr<ProxyEngine> engine;
    {
        std::lock_guard lock(mutex_);
        engine = std::move(engine_);
        commandServer_.reset();
    }
    if (engine) engine->stop();
}

void ExtensionProvider::startTunnel(TunnelOptions options, StartCompletion completion) {
    script_.waitToStart();
    std::optional<std::string> error;
    {
        std::lock_guard life(lifecycle_);
        {
            std::lock_guard lock(mutex_);
            options_ = options;
        }
        if (options.is_object()) Log::line("[engine] start options: " + describe(options));
        const auto config = options.is_object() ? options.find("configContent") : options.end();
        if (engine()) {
            error = "the engine is already running";
        } else if (!options.is_object() || config == options.end() || !config->is_string()) {
            error = "the start options hold no configContent text";
        } else {
            auto engine = std::make_shared<ProxyEngine>(script_, clock_, settings_);
            try {
                engine->start(config->get<std::string>());
                std::lock_guard lock(mutex_);
                engine_ = engine;
                commandServer_ = std::make_shared<LibboxCommandServer>(engine);
            } catch (const EngineError& e) {
                error = e.what();
            }
        }
    }
    if (error) Log::line("[engine] start failed: " + *error);
    completion(error);
}

void ExtensionProvider::stopTunnel(ProviderStopReason, StopCompletion completion) {
    {
        std::lock_guard life(lifecycle_);
        std::shared_ptr<ProxyEngine> engine;
        {
            std::lock_guard lock(mutex_);
            engine = std::move(engine_);
            commandServer_.reset();
        }
        if (engine) engine->stop();
    }
    completion();
}

void ExtensionProvider::wake() {}

void ExtensionProvider::handleAppMessage(std::string, MessageCompletion completion) { completion(std::nullopt); }

std::optional<TunnelOptions> ExtensionProvider::tunnelOptions() const {
    std::lock_guard lock(mutex_);
    return options_;
}

void ExtensionProvider::hotReload(const std::string& configContent, std::stop_token stop) {
    std::lock_guard life(lifecycle_);
    const auto running = engine();
    if (!running) throw EngineError("the engine is not running");
    if (!script_.waitToReload(stop)) throw EngineError("the reload was cancelled");
    running->reload(configContent);
}

std::shared_ptr<LibboxCommandServer> ExtensionProvider::commandServer() const {
    std::lock_guard lock(mutex_);
    return commandServer_;
}

std::shared_ptr<ProxyEngine> ExtensionProvider::engine() const {
    std::lock_guard lock(mutex_);
    return engine_;
}

}  // namespace kavri
