#pragma once

namespace velmora {

// What every receiving socket of the packet path asks for, so that a burst of datagrams waits in
// the system while the thread is busy with the one before.
inline constexpr int kSourceReceiveBuffer = 8 << 20;

// Asks for `kSourceReceiveBuffer` bytes of receive buffer on `fd`: beyond the system's ceiling
// where the process may (as root), else up to the ceiling. Returns the size the system reports,
// at least the system's default.
int SizeReceiveBuffer(int fd);

}  // namespace velmora
