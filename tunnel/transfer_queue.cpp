#include "tunnel/transfer_queue.h"

#include "common/thread_loop.h"

#include <utility>

namespace {

void refuse_later(TransferQueue::Refuse refuse, Failure failure)
{
    thread_loop::idle_once([refuse = std::move(refuse), failure] { refuse(failure); });
}

} // namespace

TransferQueue::~TransferQueue()
{
    quiet_timer_.disconnect();
    settle_limit_timer_.disconnect();
}

void TransferQueue::submit(Start start, Refuse refuse)
{
    if (link_ == Link::Noisy) {
        refuse_later(std::move(refuse), Failure::LinkNotQuiet);
        return;
    }
    waiting_.push_back({std::move(start), std::move(refuse)});
    start_next();
}

void TransferQueue::transfer_ended(bool reply_was_whole)
{
    transfer_under_way_ = false;
    if (!reply_was_whole)
        settle();
    start_next();
}

void TransferQueue::stray_fragment()
{
    if (link_ != Link::Free)
        restart_quiet_timer();
}

void TransferQueue::refuse_waiting(Failure failure)
{
    for (Waiting &waiting : std::exchange(waiting_, {}))
        refuse_later(std::move(waiting.refuse), failure);
}

void TransferQueue::settle()
{
    if (link_ == Link::Free) {
        link_ = Link::Settling;
        settle_limit_timer_ = thread_loop::timeout(
            [this] {
                give_up_settling();
                return false;
            },
            settle_limit);
    }
    restart_quiet_timer();
}

void TransferQueue::restart_quiet_timer()
{
    quiet_timer_.disconnect();
    quiet_timer_ = thread_loop::timeout(
        [this] {
            link_quiet();
            return false;
        },
        settle_time);
}

void TransferQueue::link_quiet()
{
    settle_limit_timer_.disconnect();
    link_ = Link::Free;
    start_next();
}

// The reader keeps sending: what waits fails now rather than starting into
// the noise, and so does what comes before the link is quiet again.
void TransferQueue::give_up_settling()
{
    link_ = Link::Noisy;
    refuse_waiting(Failure::LinkNotQuiet);
}

void TransferQueue::start_next()
{
    if (transfer_under_way_ || link_ != Link::Free || waiting_.empty())
        return;
    Start start = std::move(waiting_.front().start);
    waiting_.pop_front();
    transfer_under_way_ = true;
    start();
}
