#pragma once

// Slave ids of a Modbus serial line, header-only so that programs not linking
// the link library share them.
namespace IdEsclavo {

// The highest id a slave may have; 0 is the broadcast address.
constexpr int kMaximo = 247;
constexpr int kMinimo = 1;
// In the settings, 0 names the one indicator of a point-to-point line: the
// id its first reply carries is taken from then on.
constexpr int kPuntoAPunto = 0;

constexpr bool valido(int id) { return id >= kMinimo && id <= kMaximo; }
// A setting: a slave id or the point-to-point 0.
constexpr bool validoEnAjustes(int id) { return id == kPuntoAPunto || valido(id); }

} // namespace IdEsclavo
