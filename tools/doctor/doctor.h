#ifndef OSTREL_DOCTOR_DOCTOR_H_
#define OSTREL_DOCTOR_DOCTOR_H_

// The setup tool's doctor command: with one extension named (--browser and
// one --origin or --extension-id), whether it will reach the application,
// "yes: ..." or "no: <the first reason>"; otherwise every check of the
// full report (checks.h), as text or one JSON document. Changes nothing.

#include "commands.h"

namespace ostrel::doctor {

// Returns the exit status: 0 for "yes" or no problem found, 1 otherwise,
// 2 when the options make no sense.
int runDoctor(const setup::Context& context);

}  // namespace ostrel::doctor

#endif  // OSTREL_DOCTOR_DOCTOR_H_
