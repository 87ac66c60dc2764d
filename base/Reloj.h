#pragma once

#include <QtGlobal>

// The program's monotonic clock, in milliseconds from its first reading.
// Everything that ages by time (sessions, sign-in waits, cached selections,
// stale readings) reads it here, so that a test can move it on with
// adelanta() instead of waiting the time out, and stop it with detiene()
// so that a slow machine does not age anything behind its back.
namespace Reloj {
qint64 ms();
void adelanta(qint64 ms);
// true: the clock stands where it is and only adelanta() moves it;
// false: it runs again from where it stood. For tests, from the thread that
// reads the clock.
void detiene(bool detenido);
} // namespace Reloj
