// veltor-tango: a Tango device server for the instrument.
//   veltor-tango INSTANCE [--port P] [--baud B] [--reconnect] [Tango's options]
//   veltor-tango --help
// Tango's own options follow its usage (-nodb -dlist a/b/c -ORBendPoint ...).
#include <tango.h>

#include <cstdio>
#include <stdexcept>

#include "tango/Class.h"
#include "tango/Options.h"

// Tango's server asks the program for its classes.
void Tango::DServer::class_factory() {
    add_class(veltor::tango::Class::Init("VeltorTango"));
}

int main(int argc, char** argv) {
    try {
        veltor::tango::TakeOptions(argc, argv);
    } catch (const std::invalid_argument& error) {
        std::fprintf(stderr, "veltor-tango: %s\n", error.what());
        return 2;
    }
    // Before Tango, which would want a database or an instance name first.
    if (veltor::tango::CommandLineOptions().help) {
        std::fputs(veltor::tango::Usage(), stdout);
        return 0;
    }
    try {
        Tango::Util* util = Tango::Util::init(argc, argv);
        util->server_init();
        util->server_run();
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "veltor-tango: out of memory\n");
        return 1;
    } catch (const CORBA::Exception& error) {
        Tango::Except::print_exception(error);
        return 1;
    }
    Tango::Util::instance()->server_cleanup();
    return 0;
}
