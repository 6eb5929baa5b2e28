// Every exported header together pulls in no threading header: what a host
// gets is the interface, not the library's insides. veltor.h comes first
// and alone.
#include <veltor/veltor.h>

#if defined(_GLIBCXX_MUTEX) || defined(_GLIBCXX_ATOMIC) || defined(_GLIBCXX_THREAD) || \
    defined(_GLIBCXX_CONDITION_VARIABLE) || defined(_MUTEX_) || defined(_ATOMIC_) ||   \
    defined(_THREAD_)
#error "an exported header pulls in a threading header"
#endif
