// Which device the replacing writes use, alone in its file so that it is the program's
// choice: a test that links a device of its own defines fileDevice() itself, and the
// linker then leaves this file out.
#include "common/FileDevice.h"

namespace cpuconfig {

FileDevice& fileDevice() {
    return systemFileDevice();
}

} // namespace cpuconfig
