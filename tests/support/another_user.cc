// Shared by every system: the pipes between parent and child.
#include "support/another_user.h"

#include <unistd.h>

#include "platform/descriptors.h"

namespace ostrel::tests {

namespace {

void closeBoth(int ends[2]) {
  closeDescriptor(ends[0]);
  closeDescriptor(ends[1]);
}

}  // namespace

// Without both pipes the child's first word fails, and it gives up.
AnotherUser::AnotherUser() {
  if (openPipe(toParent_) && openPipe(toChild_)) return;
  closeBoth(toParent_);
  closeBoth(toChild_);
}

AnotherUser::~AnotherUser() {
  closeBoth(toParent_);
  closeBoth(toChild_);
}

}  // namespace ostrel::tests
