#pragma once

#include <string>

#include "core/delegate.h"

namespace Core {

// Lines longer than this are cut: the formatted variant writes into a buffer of 16000 bytes.
constexpr int logLineLimit = 15999;

using LogListener = Delegate<void(const std::string& line)>;

// Hands the line, prefixed with the local time as "hh:mm:ss.mmm  ", to every listener in
// registration order, under the log's lock. With no listener the line is dropped.
void Log(const std::string& text);
void LogFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Returns an id for RemoveLogListener.
int AddLogListener(LogListener listener);
void RemoveLogListener(int id);

}  // namespace Core
