// Owner of a json-c tree: one json_object_put on the root releases it all.
#pragma once

#include <json-c/json.h>

#include <utility>

namespace nuv {

class JsonTree {
 public:
  JsonTree() noexcept = default;
  explicit JsonTree(json_object* root) noexcept : root_(root) {}
  JsonTree(const JsonTree&) = delete;
  JsonTree& operator=(const JsonTree&) = delete;
  JsonTree(JsonTree&& other) noexcept : root_(std::exchange(other.root_, nullptr)) {}
  JsonTree& operator=(JsonTree&& other) noexcept {
    if (this != &other) {
      json_object_put(root_);
      root_ = std::exchange(other.root_, nullptr);
    }
    return *this;
  }
  ~JsonTree() { json_object_put(root_); }

  json_object* get() const noexcept { return root_; }
  // Hands the reference over (to a container that took it).
  [[nodiscard]] json_object* release() noexcept { return std::exchange(root_, nullptr); }
  explicit operator bool() const noexcept { return root_ != nullptr; }

 private:
  json_object* root_ = nullptr;
};

}  // namespace nuv
