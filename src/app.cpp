#include "app.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "banner.h"
#include "capture/devices.h"
#include "capture/filter.h"
#include "capture/linux.h"
#include "config/loader.h"
#include "environment.h"
#include "detector/gate.h"
#include "logger/alert.h"
#include "logger/logger.h"
#include "logger/retention.h"
#include "packet_loop.h"
#include "policy/engine.h"
#include "policy/reloader.h"
#include "policy/watcher.h"
#include "preflight.h"
#include "util/expected.h"
#include "util/net.h"

namespace tarvo {
namespace {

constexpr std::string_view kTarget = "tarvo";
constexpr std::size_t kBlockingThreads = 4;
constexpr auto kCaptureStopLimit = std::chrono::seconds(2);

using RunFlag = std::shared_ptr<std::atomic<bool>>;
using StartupResult = Expected<Ok, std::string>;

// Absorbs SIGINT and SIGTERM for the rest of the run; the first one clears `run_flag`.
net::awaitable<void> signal_task(std::shared_ptr<net::signal_set> signals, RunFlag run_flag) {
    bool first = true;
    for (;;) {
        boost::system::error_code ec;
        const int sig = co_await signals->async_wait(net::redirect_error(net::use_awaitable, ec));
        if (ec) co_return;
        if (!first) continue;
        first = false;
        logger::write_stdout(banner::signal_line(sig == SIGINT ? "SIGINT" : "SIGTERM"));
        run_flag->store(false);
    }
}

// Keeps the ring timestamps current; ends with the runtime.
net::awaitable<void> refresh_clock(std::shared_ptr<logger::ClockCache> clock) {
    net::steady_timer tick(co_await net::this_coro::executor);
    auto next = std::chrono::steady_clock::now();
    for (;;) {
        next += std::chrono::milliseconds(1);
        tick.expires_at(next);
        boost::system::error_code ec;
        co_await tick.async_wait(net::redirect_error(net::use_awaitable, ec));
        if (ec) co_return;
        clock->refresh();
    }
}

// The main task: the startup order, the packet loop, then the shutdown sequence. State
// lives here so that each component is released in the order shutdown needs.
class Daemon {
public:
    Daemon(Environment env, net::io_context& io, net::thread_pool& blocking)
        : env_(std::move(env)), io_(io), blocking_(blocking) {}

    net::awaitable<StartupResult> run() {
        // 1. Preflight: either check ends the process with its help box.
        preflight::check_privileges();
        preflight::check_libpcap();

        // 2. Terminal mode.
        plain_ = env_.plain_terminal();

        // 3. Diagnostic log, then its retention pass off the async workers.
        logger::Options log_options;
        log_options.filter_env = env_.log_filter;
        log_options.colour = env_.log_colour();
        auto guard = logger::setup(log_options);
        if (!guard) co_return Unexpected(std::move(guard).error());
        log_guard_ = std::move(*guard);
        net::post(blocking_, [dir = log_options.log_dir] {
            (void)logger::retention_pass(dir, std::chrono::system_clock::now());
        });

        // 4. Start instant and configuration.
        start_ = std::chrono::steady_clock::now();
        config_dir_ = config::find_config_dir();
        auto loaded = config::load_config(config_dir_);
        if (!loaded) co_return Unexpected(std::move(loaded).error());
        config_ = std::move(*loaded);

        // 5. Security event log writer and the clock its ring entries are stamped with.
        auto alerts = logger::AlertLogger::init(logger::kLogDir,
                                                config_->logging.normal_channel_depth,
                                                config_->logging.max_file_size_mb);
        if (!alerts) co_return Unexpected(fmt::format("AlertLogger::init failed: {}", alerts.error()));
        alerts_ = std::move(*alerts);
        clock_ = std::make_shared<logger::ClockCache>();
        net::co_spawn(io_, refresh_clock(clock_), net::detached);

        // 6. Normal-traffic settings for the loop.
        loop_settings_.log_normal_traffic = config_->logging.log_normal_traffic;
        loop_settings_.normal_sample_divisor = config_->logging.normal_sample_divisor;
        loop_settings_.normal_ring_capacity = config_->logging.normal_ring_capacity;

        // 7. The host's own addresses and the trusted networks, for the detection gate.
        gate_ = detector::DetectionGate(capture::local_addresses(capture::list_devices),
                                        config_->trusted_cidrs);

        // 10. Policy engine and the first load of the rules (a failure leaves no rules).
        rules_path_ = config_dir_ / config::kRulesFile;
        policy_ = std::make_shared<policy::PolicyEngine>();
        (void)policy::load_rules(rules_path_, *policy_);

        // 11. Hot reload of the rules file.
        auto watcher = policy::PolicyWatcher::start(rules_path_, policy_, io_.get_executor());
        if (watcher) {
            watcher_ = std::move(*watcher);
            logger::info(kTarget, "Policy hot-reload active", {{"path", rules_path_.string()}});
        } else {
            logger::warn(kTarget, "Policy watcher failed — restart required", {{"error", watcher.error()}});
        }

        // 14. Addresses the rules file blocks outright.
        preblock_ = policy::read_preblock_list(rules_path_);

        // 18. Interface choice.
        std::string interface = config_->capture_interface;
        if (interface == "auto") {
            auto devices = capture::list_devices();
            std::optional<std::string> chosen;
            if (devices) chosen = capture::auto_select(*devices);
            if (!chosen) {
                log_guard_.reset();  // flush the diagnostic file before the process ends
                preflight::print_no_interface_box();
            }
            interface = *chosen;
        }

        // 19. Filter choice.
        filter_ = capture::choose_filter(config_->bpf_filter, preblock_);

        // 21. Capture engine.
        capture::CaptureSettings settings;
        settings.interface = interface;
        settings.filter = filter_;
        settings.buffer_size_mb = config_->buffer_size_mb;
        settings.timeout_ms = config_->timeout_ms;
        settings.snaplen = config_->snaplen;
        settings.promiscuous = config_->promiscuous;
        auto engine = capture::LinuxCaptureEngine::create(std::move(settings));
        if (!engine) co_return Unexpected(engine.error().message());
        engine_ = std::move(*engine);
        if (auto started = engine_->start(); !started) {
            co_return Unexpected(started.error().message());
        }

        // 22. The flag that keeps the packet loop running.
        run_flag_ = std::make_shared<std::atomic<bool>>(true);

        // 27. Signal task: from here on SIGINT and SIGTERM shut down in order.
        auto signals = std::make_shared<net::signal_set>(io_, SIGINT, SIGTERM);
        net::co_spawn(io_, signal_task(signals, run_flag_), net::detached);
        logger::debug(kTarget, "Signal handlers installed");

        // 28. Loop state and counters.
        counters_ = std::make_shared<GlobalCounters>();
        loop_ = std::make_unique<PacketLoop>(LoopOutputs{counters_, alerts_, clock_, policy_},
                                             std::move(gate_), loop_settings_,
                                             std::chrono::steady_clock::now());

        // 29. Packet loop, then shutdown.
        co_await run_packet_loop(*engine_, *loop_, *run_flag_);
        co_await shutdown();
        co_return Ok{};
    }

private:
    // Stops capture, waiting at most kCaptureStopLimit. true when the stop finished.
    net::awaitable<bool> stop_capture() {
        if (!engine_) co_return true;
        auto done = std::make_shared<std::atomic<bool>>(false);
        net::post(blocking_, [engine = engine_, done] {
            (void)engine->stop();  // "not started" counts as stopped too
            done->store(true);
        });
        net::steady_timer poll(io_);
        const auto deadline = std::chrono::steady_clock::now() + kCaptureStopLimit;
        while (!done->load() && std::chrono::steady_clock::now() < deadline) {
            poll.expires_after(std::chrono::milliseconds(5));
            co_await poll.async_wait(net::use_awaitable);
        }
        co_return done->load();
    }

    net::awaitable<void> shutdown() {
        logger::write_stdout(banner::shutdown_banner(plain_));

        const auto elapsed = std::chrono::steady_clock::now() - start_;
        banner::FinalFigures figures;
        figures.runtime_secs = std::chrono::duration<double>(elapsed).count();
        figures.packets = counters_->packet_count.load();
        figures.blocks = counters_->block_count.load();
        figures.alerts = counters_->alert_count.load();

        logger::write_stdout(banner::kStoppingCapture);
        const bool stopped = co_await stop_capture();
        logger::write_stdout(stopped ? banner::kCaptureStopped : banner::kCaptureTimeout);

        logger::write_stdout(banner::kCleaningKernel);
        logger::write_stdout(banner::kKernelCleaned);

        logger::write_stdout(banner::final_report(figures));
        logger::write_stdout(banner::closing_banner(plain_));
        logger::info(kTarget, "TARVO stopped successfully - Goodbye Buddy!");

        // Release in order; the logger guard goes last so that it flushes everything.
        loop_.reset();
        watcher_.reset();
        policy_.reset();
        engine_.reset();
        counters_.reset();
        alerts_.reset();  // writes out the queued security log lines
        config_.reset();
        log_guard_.reset();
        co_return;
    }

    Environment env_;
    net::io_context& io_;
    net::thread_pool& blocking_;
    bool plain_ = true;
    std::optional<logger::Guard> log_guard_;
    std::chrono::steady_clock::time_point start_;
    std::filesystem::path config_dir_;
    std::optional<config::TarvoConfig> config_;
    logger::AlertLoggerPtr alerts_;
    std::shared_ptr<logger::ClockCache> clock_;
    LoopSettings loop_settings_;
    detector::DetectionGate gate_;
    std::filesystem::path rules_path_;
    policy::PolicyEnginePtr policy_;
    std::unique_ptr<policy::PolicyWatcher> watcher_;
    std::vector<std::string> preblock_;
    std::string filter_;
    std::shared_ptr<capture::CaptureEngine> engine_;
    RunFlag run_flag_;
    GlobalCountersPtr counters_;
    std::unique_ptr<PacketLoop> loop_;
};

}  // namespace

int run_daemon() {
    Environment env = read_environment();
    std::optional<StartupResult> result;
    std::string crash;
    {
        net::io_context io;
        net::thread_pool blocking(kBlockingThreads);
        Daemon daemon(std::move(env), io, blocking);
        net::co_spawn(io, daemon.run(),
                      [&](const std::exception_ptr& ep, StartupResult r) {
                          if (ep) {
                              try {
                                  std::rethrow_exception(ep);
                              } catch (const std::exception& ex) {
                                  crash = ex.what();
                              } catch (...) {
                                  crash = "unknown exception";
                              }
                          } else {
                              result = std::move(r);
                          }
                          io.stop();  // cancels the background tasks still running
                      });
        const unsigned workers = std::max(1U, std::thread::hardware_concurrency());
        std::vector<std::thread> threads;
        for (unsigned i = 1; i < workers; ++i) threads.emplace_back([&io] { io.run(); });
        io.run();
        for (auto& t : threads) t.join();
        blocking.stop();
        blocking.join();
    }
    if (!crash.empty()) {
        std::fprintf(stderr, "Error: %s\n", crash.c_str());
        return 1;
    }
    if (result && !result->has_value()) {
        std::fprintf(stderr, "Error: %s\n", result->error().c_str());
        return 1;
    }
    return 0;
}

}  // namespace tarvo
