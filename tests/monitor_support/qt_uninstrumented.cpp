// Built into the ballast monitor tests (the window test gets the same from
// the upgrade rig it links; the project's file covers libQt6Gui). Qt is not built with the thread
// sanitizer and its frames carry no frame pointers, so the sanitizer sees
// the memory calls Qt makes (memmove, malloc, free inside its event queue,
// strings and image conversions) but neither the locks around them nor the
// stack that would match a suppression by function name. Those calls are
// taken as made by uninstrumented code, which is what they are; every access
// made by our own code is still checked.
#if defined(__SANITIZE_THREAD__)
extern "C" const char *__tsan_default_suppressions()
{
    return "called_from_lib:libQt6Core.so.6\n";
}
#endif
