// Keeps the resource library non-empty before any resource is added.
namespace korvalis {
[[maybe_unused]] static const int kNoResources = 0;
}
