#include <exception>
#include <iostream>
#include <new>

#include "app/Application.h"

// Every failure the run anticipates ends with its own message; this handler
// is the last resort for what escapes (an allocation that cannot be met, a
// fault deeper down), so that no run ends in an abort.
int main(int argc, char** argv) {
    try {
        return runApplication(argc, argv);
    } catch (const std::bad_alloc&) {
        std::cerr << "Error: out of memory" << std::endl;
    } catch (const std::exception& e) {
        std::cerr << "Error: " << e.what() << std::endl;
    } catch (...) {
        std::cerr << "Error: unexpected failure" << std::endl;
    }
    return 1;
}
