#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace platform::ml {

// Scratch buffers kept between predictions, one set per prediction running at a time:
// the large activation buffers are allocated (and page-faulted) once, not per window.
template <class Workspace> class WorkspacePool {
public:
    using Make = std::function<std::unique_ptr<Workspace>()>;

    // Workspaces start empty and are sized by their first prediction.
    WorkspacePool() : make_([] { return std::make_unique<Workspace>(); }) {}
    // `make` builds a workspace sized for use; the first one is made now (at load), so a
    // prediction allocates nothing.
    explicit WorkspacePool(Make make) : make_(std::move(make)) { free_.push_back(make_()); }

    class Lease {
    public:
        Lease(WorkspacePool& pool, std::unique_ptr<Workspace> w) : pool_(pool), workspace_(std::move(w)) {}
        ~Lease() { pool_.giveBack(std::move(workspace_)); }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        Workspace& operator*() { return *workspace_; }
        Workspace* operator->() { return workspace_.get(); }

    private:
        WorkspacePool& pool_;
        std::unique_ptr<Workspace> workspace_;
    };

    Lease take() {
        std::scoped_lock lock(mutex_);
        if (free_.empty()) return Lease(*this, make_());
        auto w = std::move(free_.back());
        free_.pop_back();
        return Lease(*this, std::move(w));
    }

private:
    void giveBack(std::unique_ptr<Workspace> w) {
        std::scoped_lock lock(mutex_);
        free_.push_back(std::move(w));
    }

    Make make_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<Workspace>> free_;
};

}  // namespace platform::ml
