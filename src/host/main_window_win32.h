#pragma once
// What the Windows main window offers beyond the shared interface: the running instance's side
// of the hand-over from a second start.

#include <cstddef>

// WM_COPYDATA's data and its size in bytes go to `receiver`, which the app floor installs when
// this process becomes the running instance. Main thread.
using copy_data_receiver = void (*)(const void* data, std::size_t size);
void set_copy_data_receiver(copy_data_receiver receiver);
