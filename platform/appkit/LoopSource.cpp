#include "platform/appkit/LoopSource.h"

#include <utility>

namespace appkit {

namespace {

using Work = std::function<bool()>;

guint timeoutMs(std::chrono::milliseconds delay) { return delay.count() <= 0 ? 0 : static_cast<guint>(delay.count()); }

}  // namespace

guint attachSource(GSource* source, std::function<bool()> work, GMainContext* context) {
  g_source_set_callback(
      source,
      [](gpointer work) -> gboolean { return (*static_cast<Work*>(work))() ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE; },
      new Work(std::move(work)), [](gpointer work) { delete static_cast<Work*>(work); });
  const guint id = g_source_attach(source, context);
  g_source_unref(source);
  return id;
}

void runSoon(std::function<void()> work) {
  GSource* source = g_idle_source_new();
  // Before redraws and input, as any event the loop has already taken.
  g_source_set_priority(source, G_PRIORITY_DEFAULT);
  attachSource(source, [work = std::move(work)] {
    work();
    return false;
  });
}

void LoopSource::after(std::chrono::milliseconds delay, std::function<void()> work) {
  start(g_timeout_source_new(timeoutMs(delay)), std::move(work), false);
}

void LoopSource::every(std::chrono::milliseconds period, std::function<void()> work) {
  start(g_timeout_source_new(timeoutMs(period)), std::move(work), true);
}

void LoopSource::idle(std::function<void()> work) { start(g_idle_source_new(), std::move(work), false); }

void LoopSource::cancel() {
  if (id_ != 0) g_source_remove(std::exchange(id_, 0));
}

void LoopSource::start(GSource* source, std::function<void()> work, bool repeat) {
  cancel();
  id_ = attachSource(source, [this, repeat, work = std::move(work)] {
    // Marked done before the work runs: the work may start the next run, or let the owner go.
    if (!repeat) id_ = 0;
    work();
    return repeat;
  });
}

}  // namespace appkit
