// Gives the test-support library a source of its own, so it exists even
// before any support module does.
namespace testsupport {
int SupportLibraryAnchor() { return 0; }
}  // namespace testsupport
