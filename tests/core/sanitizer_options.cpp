// Under AddressSanitizer an impossible allocation should fail as it does in a normal
// build (std::bad_alloc), not abort the test run.
extern "C" __attribute__((visibility("default"), used)) const char* __asan_default_options() {
    return "allocator_may_return_null=1";
}
