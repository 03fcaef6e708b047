#ifndef OSTREL_TOOLS_STANDINS_DESCRIPTORS_H_
#define OSTREL_TOOLS_STANDINS_DESCRIPTORS_H_

// Descriptor flags and pipes for the stand-in tools, in plain POSIX so that
// they build wherever the host does. The tools are single-threaded, so
// setting close-on-exec right after creation leaves no window for a leak.

namespace ostrel::standins {

bool setCloseOnExec(int fd);
bool setNonBlocking(int fd);

// A close-on-exec pipe: fds[0] to read, fds[1] to write.
bool makePipe(int fds[2]);

// Opens /dev/null on any of descriptors 0, 1 and 2 that is closed, so that
// no socket or pipe opened later is mistaken for a standard stream.
void ensureStandardDescriptors();

// close(2) that leaves -1 behind and ignores a -1.
void closeFd(int& fd);

}  // namespace ostrel::standins

#endif  // OSTREL_TOOLS_STANDINS_DESCRIPTORS_H_
