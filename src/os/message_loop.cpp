#include "os/message_loop.h"

#include "os/message_loop_impl.h"

namespace os {

MessageLoop::MessageLoop() : impl_(Impl::Make(*this)) {}

MessageLoop::~MessageLoop() { Stop(); }

bool MessageLoop::Start() { return impl_->Start(); }

void MessageLoop::Join() { impl_->Join(); }

void MessageLoop::Stop() {
  impl_->Close();
  impl_->Join();
}

bool MessageLoop::IsRunning() const { return impl_->IsRunning(); }

bool MessageLoop::IsOwnerThread() const { return impl_->IsOwnerThread(); }

std::size_t MessageLoop::PendingMessages() const { return impl_->PendingMessages(); }

bool MessageLoop::PostMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  return impl_->Post(message, wParam, lParam);
}

LRESULT MessageLoop::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  if (IsOwnerThread()) return Dispatch(message, wParam, lParam);
  return impl_->Send(message, wParam, lParam);
}

UINT MessageLoop::SetTimer(UINT id, UINT period_ms) { return impl_->SetTimer(id, period_ms); }

bool MessageLoop::KillTimer(UINT id) { return impl_->KillTimer(id); }

bool MessageLoop::IsTimerArmed(UINT id) const { return impl_->IsTimerArmed(id); }

void MessageLoop::QuitLoop() { impl_->QuitLoop(); }

}  // namespace os
