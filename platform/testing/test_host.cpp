// Test host: filled in with the platform seams.
namespace qm::testing {
void testHostLinkAnchor() {}
}
