#include "policy/watcher.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <array>
#include <mutex>

#include <fmt/format.h>

#include "logger/logger.h"
#include "policy/reloader.h"
#include "util/strings.h"

namespace tarvo::policy {

namespace {
constexpr std::string_view kTarget = "tarvo::policy::watcher";
}  // namespace

// At most one pending reload signal between the watcher thread and the reload task.
// The task runs on `strand`, and every wake-up of its timer is posted there too, so the
// "check, then wait" of the task never misses a signal.
class ReloadSignal : public std::enable_shared_from_this<ReloadSignal> {
public:
    explicit ReloadSignal(net::any_io_executor executor)
        : strand_(net::make_strand(executor)), timer_(strand_) {}

    // From any thread. false when a signal was already pending (this one is dropped).
    bool raise() {
        {
            std::lock_guard lock(mutex_);
            if (closed_ || pending_) return false;
            pending_ = true;
        }
        wake();
        return true;
    }
    void close() {
        {
            std::lock_guard lock(mutex_);
            closed_ = true;
        }
        wake();
    }
    bool take() {
        std::lock_guard lock(mutex_);
        return std::exchange(pending_, false);
    }
    bool closed() {
        std::lock_guard lock(mutex_);
        return closed_;
    }

    net::strand<net::any_io_executor>& strand() { return strand_; }
    net::steady_timer& timer() { return timer_; }

private:
    void wake() {
        net::post(strand_, [self = shared_from_this()] { self->timer_.cancel(); });
    }

    net::strand<net::any_io_executor> strand_;
    net::steady_timer timer_;  // used on strand_ only
    std::mutex mutex_;
    bool pending_ = false;  // guarded by mutex_
    bool closed_ = false;   // guarded by mutex_
};

namespace {

// Waits on the signal's timer until `deadline`; true when it ran to the deadline.
net::awaitable<bool> wait_until(ReloadSignal& s, net::steady_timer::time_point deadline) {
    s.timer().expires_at(deadline);
    boost::system::error_code ec;
    co_await s.timer().async_wait(net::redirect_error(net::use_awaitable, ec));
    co_return !ec;
}

net::awaitable<void> reload_task(std::shared_ptr<ReloadSignal> s, std::filesystem::path path,
                                 PolicyEnginePtr engine, std::chrono::milliseconds debounce) {
    const auto closed = [&] {
        logger::info(kTarget, "Policy watcher channel closed — hot-reload task exiting");
    };
    for (;;) {
        while (!s->take()) {
            if (s->closed()) co_return closed();
            co_await wait_until(*s, net::steady_timer::time_point::max());
        }
        logger::info(kTarget, "Detected change in rules.yaml — reloading policy rules",
                     {{"path", path.string()}});
        for (;;) {
            const bool elapsed = co_await wait_until(*s, std::chrono::steady_clock::now() + debounce);
            if (s->closed()) co_return closed();
            if (s->take()) {
                logger::debug(kTarget, "Debounce reset — another write event received");
                continue;
            }
            if (elapsed) break;
            // A wake-up whose signal was already taken: wait a full interval again.
        }
        logger::info("tarvo::policy::reloader", fmt::format("Reloading policies from {}", path.string()));
        auto loaded = load_rules(path, *engine);
        if (loaded) {
            logger::info(kTarget, "Policy rules reloaded successfully", {{"path", path.string()}});
        } else {
            logger::warn(kTarget, "Policy reload failed — previous rule set remains active",
                         {{"path", path.string()}, {"error", loaded.error()}});
        }
    }
}

const char* event_kind(std::uint32_t mask) {
    if ((mask & (IN_CREATE | IN_MOVED_TO)) != 0) return "create";
    if ((mask & (IN_DELETE | IN_MOVED_FROM)) != 0) return "remove";
    if ((mask & (IN_MODIFY | IN_CLOSE_WRITE)) != 0) return "modify";
    return nullptr;
}

}  // namespace

Expected<std::unique_ptr<PolicyWatcher>, std::string> PolicyWatcher::start(
    std::filesystem::path rules_path, PolicyEnginePtr engine, net::any_io_executor executor,
    std::chrono::milliseconds debounce) {
    const auto dir = rules_path.parent_path();
    if (dir.empty() || rules_path == rules_path.root_path()) {
        return Unexpected(std::string("rules.yaml path has no parent directory"));
    }
    UniqueFd inotify(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    UniqueFd stop(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!inotify || !stop) return Unexpected(std::string("Failed to create file-system watcher"));
    if (::inotify_add_watch(inotify.get(), dir.c_str(),
                            IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_DELETE | IN_MOVED_TO |
                                IN_MOVED_FROM) < 0) {
        return Unexpected(fmt::format("Failed to register filesystem watch on {}", dir.string()));
    }
    std::error_code ec;
    if (!std::filesystem::exists(rules_path, ec)) {
        logger::warn(kTarget,
                     "rules.yaml does not exist yet — watcher registered but no events will fire "
                     "until the file is created",
                     {{"path", rules_path.string()}});
    }
    auto signal = std::make_shared<ReloadSignal>(executor);
    net::co_spawn(signal->strand(), reload_task(signal, rules_path, std::move(engine), debounce),
                  net::detached);
    std::unique_ptr<PolicyWatcher> watcher(
        new PolicyWatcher(std::move(inotify), std::move(stop), signal));
    watcher->thread_ = std::thread([w = watcher.get(), rules_path] { w->run(rules_path); });
    logger::info(kTarget, "Policy hot-reload watcher active",
                 {{"path", rules_path.string()}, {"watch_dir", dir.string()},
                  {"debounce_ms", static_cast<std::uint64_t>(debounce.count())}});
    return watcher;
}

PolicyWatcher::~PolicyWatcher() {
    const std::uint64_t one = 1;
    (void)!::write(stop_.get(), &one, sizeof one);
    if (thread_.joinable()) thread_.join();
    signal_->close();
}

void PolicyWatcher::run(std::filesystem::path rules_path) {
    pthread_setname_np(pthread_self(), "tarvo-watcher");
    const std::string file = rules_path.filename().string();
    alignas(inotify_event) std::array<char, 16384> buf{};
    for (;;) {
        std::array<pollfd, 2> fds = {{{inotify_.get(), POLLIN, 0}, {stop_.get(), POLLIN, 0}}};
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            logger::error(kTarget, "notify watcher error", {{"error", errno_text(errno)}});
            return;
        }
        if ((fds[1].revents & POLLIN) != 0) return;
        const ssize_t n = ::read(inotify_.get(), buf.data(), buf.size());
        if (n <= 0) continue;
        for (ssize_t off = 0; off < n;) {
            const auto* ev = reinterpret_cast<const inotify_event*>(buf.data() + off);
            off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
            if ((ev->mask & IN_Q_OVERFLOW) != 0) {
                // Events were lost; one of them may have been ours.
                logger::error(kTarget, "notify watcher error", {{"error", "event queue overflow"}});
                signal_->raise();
                continue;
            }
            if ((ev->mask & IN_IGNORED) != 0) {
                logger::error(kTarget, "notify watcher error",
                              {{"error", "the watched directory is gone"}});
                continue;
            }
            const char* kind = event_kind(ev->mask);
            if (kind == nullptr || ev->len == 0 || file != ev->name) continue;
            logger::debug(kTarget, "File-system event — signalling reload",
                          {{"kind", kind}, {"path", rules_path.string()}});
            signal_->raise();
        }
    }
}

}  // namespace tarvo::policy
