#include "framework/RqDebugLog.h"

#include <atomic>
#include <cstdio>
#include <mutex>

namespace RqDebugLog {
namespace {
std::atomic<bool> g_enabled{false};
std::atomic<Sink> g_sink{nullptr};
std::mutex g_writeLock; // keeps lines from two threads from interleaving
} // namespace

void SetEnabled(bool value) {
    g_enabled.store(value);
}

bool Enabled() {
    return g_enabled.load();
}

void SetSink(Sink sink) {
    g_sink.store(sink);
}

void Log(const QString &tag, const QString &text) {
    if (!g_enabled.load())
        return;
    const QString line = tag + QStringLiteral(": ") + text;
    std::lock_guard<std::mutex> lock(g_writeLock);
    if (Sink sink = g_sink.load()) {
        sink(line);
        return;
    }
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

} // namespace RqDebugLog
