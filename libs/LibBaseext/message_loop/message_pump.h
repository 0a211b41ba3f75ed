// The pump: the part of a message loop that sleeps until there is work. It knows only Run,
// Quit, ScheduleWork and ScheduleDelayedWork; the loop is its delegate.
#pragma once

#include "message_loop/time_ticks.h"

class MessagePump {
 public:
  class Delegate {
   public:
    virtual ~Delegate() = default;
    // Each returns whether it did something, so the pump knows whether to sleep.
    virtual bool DoWork() = 0;
    // Sets *next_delayed_work_time to the time of the next delayed task (null if none).
    virtual bool DoDelayedWork(TimeTicks* next_delayed_work_time) = 0;
    virtual bool DoIdleWork() = 0;
  };

  virtual ~MessagePump() = default;
  // Loop thread.
  virtual void Run(Delegate* delegate) = 0;
  virtual void Quit() = 0;
  // Any thread.
  virtual void ScheduleWork() = 0;
  // Loop thread.
  virtual void ScheduleDelayedWork(TimeTicks delayed_work_time) = 0;
};
