/* A library in the place of the web view runtime's loader that lacks its environment entry. */
__declspec(dllexport) int velunio_not_the_loader(void) { return 0; }
