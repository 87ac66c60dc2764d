#pragma once

#include <QtGlobal>

// The program's monotonic clock, in milliseconds from its first reading.
// Everything that ages by time (sessions, sign-in waits, cached selections,
// stale readings) reads it here, so that a test can move it on with
// adelanta() instead of waiting the time out.
namespace Reloj {
qint64 ms();
void adelanta(qint64 ms);
} // namespace Reloj
