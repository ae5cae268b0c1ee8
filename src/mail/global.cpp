// Global initialisation and clean-up of the mail library: the lock and the
// generator behind unique tokens, and the network library.
#include <ctime>

#include "mail/mail.hpp"
#include "net/conn.hpp"
#include "support/lock.hpp"
#include "support/rand_mt.hpp"

namespace ostrel {

// A failed lock or generator is reported: token makers must never draw from
// a missing generator, so the caller gives up instead.
int mail_global_init(int on, uint32_t seed) {
    if (!on) {
        ip_cleanup();
        return 1;
    }
    if (!mail_global_lock) mail_global_lock = lock_create();
    if (!mail_rand_state) {
        if (seed == 0) seed = static_cast<uint32_t>(std::time(nullptr));
        mail_rand_state = rand_mt_create(seed);
    }
    ip_init(1);
    return mail_global_lock && mail_rand_state ? 1 : 0;
}

}  // namespace ostrel
