// How many events each source may still cause: an open that creates or moves a room, a
// join, a leave, a close, a refused open token. Each of these changes the table or writes a
// log line, so a source that could repeat them without end could fill the operator's disk
// and churn every room; hosts' keep-alives, data and pings are not events and never spend.
// The defaults leave honest churn (a client joining and leaving once a minute, a host
// re-opening every few minutes, a whole NAT of them behind one address) far below the limit.
#pragma once

#include "relay/source_budget.hpp"

namespace kiv {

class EventBudgets : public SourceBudget {
  public:
    explicit EventBudgets(uint64_t hash_key)
        : SourceBudget(EVENT_BURST, EVENT_PER_SECOND, hash_key) {}
};

}  // namespace kiv
