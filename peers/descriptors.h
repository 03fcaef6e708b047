#ifndef OSTREL_PEERS_DESCRIPTORS_H_
#define OSTREL_PEERS_DESCRIPTORS_H_

// Small descriptor helpers for the programs that play the peers. Creating
// close-on-exec pipes and sockets is the platform layer's (platform/
// descriptors.h); this adds what only the peers need.

namespace ostrel::peers {

// Sets or clears O_NONBLOCK; false on failure.
bool setNonBlocking(int fd, bool nonBlocking = true);

// close(2) that ignores -1 and leaves -1 behind.
void closeDescriptor(int& fd);

}  // namespace ostrel::peers

#endif  // OSTREL_PEERS_DESCRIPTORS_H_
