// Handle classes of QuorvexSDK. Only the library creates them and only the library knows
// what they hold: callers keep them in std::shared_ptr and pass them back unchanged.
#pragma once

#include <memory>

#include "QxExport.h"

// One camera device. QxInitialCameraDevice hands out the library's own instance.
class QX_SDK_API QxCamera {
public:
    struct Impl;  // defined inside the library

    explicit QxCamera(std::unique_ptr<Impl> impl);
    ~QxCamera();
    QxCamera(const QxCamera&) = delete;
    QxCamera& operator=(const QxCamera&) = delete;

    Impl& impl() const noexcept { return *impl_; }

private:
    std::unique_ptr<Impl> impl_;
};

// A set of media routes loaded by QxLoadRouteYaml.
class QX_SDK_API QxRoute {
public:
    struct Impl;  // defined inside the library

    explicit QxRoute(std::unique_ptr<Impl> impl);
    ~QxRoute();
    QxRoute(const QxRoute&) = delete;
    QxRoute& operator=(const QxRoute&) = delete;

    Impl& impl() const noexcept { return *impl_; }

private:
    std::unique_ptr<Impl> impl_;
};
