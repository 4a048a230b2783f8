#include "test_record.h"

const char* TestStepName(TestStep step)
{
    switch (step)
    {
    case TestStep::None: return "none";
    case TestStep::Resolve: return "resolve";
    case TestStep::Connect: return "connect";
    case TestStep::Handshake: return "handshake";
    case TestStep::Certificate: return "certificate";
    case TestStep::Greeting: return "greeting";
    case TestStep::Shutdown: return "shutdown";
    }
    return "none";
}
