#pragma once

#include <memory>

namespace kavri {

// An object of a C library owned by a std::unique_ptr and released with the
// library's own function, e.g. CHandle<X509, X509_free>.
template <auto Release>
struct CRelease {
    template <class T>
    void operator()(T* object) const {
        Release(object);
    }
};

template <class T, auto Release>
using CHandle = std::unique_ptr<T, CRelease<Release>>;

}  // namespace kavri
