#ifndef OSTREL_PLATFORM_THREAD_ANNOTATIONS_H_
#define OSTREL_PLATFORM_THREAD_ANNOTATIONS_H_

// Clang's thread-safety annotations, so that the compiler checks which lock
// guards which field (-Wthread-safety). They compile away elsewhere.

#if defined(__clang__)
#define OSTREL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define OSTREL_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) OSTREL_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY OSTREL_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) OSTREL_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) OSTREL_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) OSTREL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) OSTREL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) OSTREL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) OSTREL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS OSTREL_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif  // OSTREL_PLATFORM_THREAD_ANNOTATIONS_H_
