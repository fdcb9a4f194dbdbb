#include "sim/reader_options.h"

#include "sim/reply_framing.h"

namespace pemra_sim {

std::string notify_size_problem(std::size_t size)
{
    if (size < min_notify_size || size > max_notify_size)
        return "the notify size must be 20 to 256";
    return {};
}

std::string size_problem(const ReaderOptions &options)
{
    if (const std::string problem = notify_size_problem(options.notify_size); !problem.empty())
        return problem;
    if (options.message_size < min_message_size || options.message_size > max_message_size)
        return "the message size must be 16 to 65535";
    return {};
}

} // namespace pemra_sim
