#ifndef OSTREL_PLATFORM_HANG_UP_H_
#define OSTREL_PLATFORM_HANG_UP_H_

// Noticing that the writer of a pipe has closed it, without reading from
// the pipe (so that nothing still waiting in it is taken).

namespace ostrel {

// True where poll(2) reports a hang-up (POLLHUP) for a descriptor watched
// with no events at all. Linux does; Apple systems build poll on kqueue,
// which watches nothing for such a descriptor, so there the hang-up of a
// pipe cannot be seen apart from its data.
bool pollReportsUnaskedHangUp();

}  // namespace ostrel

#endif  // OSTREL_PLATFORM_HANG_UP_H_
