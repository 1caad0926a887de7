// Window host for Windows. Windows code only.
// The hidden top-level window Form1 of the program's own class, its 4000 ms
// timer and the message loop.
#include "platform/host.h"

#include <windows.h>

namespace lull::platform {

const char folder_separator = '\\';

namespace {

constexpr const char* window_class = "lull.Form1";
constexpr UINT_PTR timer_id = 1;
constexpr WORD program_icon = 1;  // the icon's id in the program's resources

// What the window procedure needs of the window's state.
struct Form {
  std::string caption;
  UINT interval_ms;
  WindowEvents* events = nullptr;
  FollowUp* follow_up = nullptr;
  HWND window = nullptr;
  // Without a window (no desktop to put it on) the timer belongs to the
  // thread; when even that fails, the loop sleeps between checks.
  UINT_PTR thread_timer = 0;
  bool loaded = false;

  void tick() {
    if (loaded) events->timer();
    if (loaded && std::chrono::steady_clock::now() >= follow_up->due()) follow_up->run();
  }
};

LRESULT CALLBACK form_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    const auto* creation = reinterpret_cast<const CREATESTRUCTA*>(lparam);
    ::SetWindowLongPtrA(window, GWLP_USERDATA,
                        reinterpret_cast<LONG_PTR>(creation->lpCreateParams));
  }
  auto* state = reinterpret_cast<Form*>(::GetWindowLongPtrA(window, GWLP_USERDATA));
  switch (message) {
    case WM_TIMER:
      if (state != nullptr && wparam == timer_id) state->tick();
      return 0;
    case WM_QUERYENDSESSION:
      return TRUE;  // a job in the background never holds up a log-off or a shutdown
    case WM_ENDSESSION:
      // The session ends (wparam FALSE: the end was called off, and the watch
      // goes on). The system ends the process once this returns, with a
      // status of its own: the program ends here, with the status it decides.
      if (wparam != FALSE && state != nullptr && state->loaded)
        ::ExitProcess(static_cast<UINT>(state->events->session_end()));
      return 0;
    case WM_DESTROY:
      // Unloading the only window ends the program, however it was closed.
      if (state != nullptr) {
        state->loaded = false;
        state->window = nullptr;
      }
      ::KillTimer(window, timer_id);
      ::PostQuitMessage(0);
      return 0;
    default:
      return ::DefWindowProcA(window, message, wparam, lparam);
  }
}

HWND create_form(const std::string& caption, Form* state) {
  HINSTANCE instance = ::GetModuleHandleA(nullptr);
  WNDCLASSEXA form_class{};
  form_class.cbSize = sizeof form_class;
  form_class.lpfnWndProc = form_procedure;
  form_class.hInstance = instance;
  form_class.hIcon = ::LoadIconA(instance, MAKEINTRESOURCEA(program_icon));
  form_class.hIconSm = static_cast<HICON>(::LoadImageA(instance, MAKEINTRESOURCEA(program_icon),
                                                       IMAGE_ICON, ::GetSystemMetrics(SM_CXSMICON),
                                                       ::GetSystemMetrics(SM_CYSMICON), 0));
  form_class.hCursor = ::LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
  form_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  form_class.lpszClassName = window_class;
  ::RegisterClassExA(&form_class);
  // Created without WS_VISIBLE: the window is never on screen, not even for
  // a moment, and has no taskbar button.
  return ::CreateWindowExA(0, window_class, caption.c_str(), WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                           CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance,
                           state);
}

}  // namespace

struct Window::State : Form {};

Window::Window(const char* caption, int interval_ms)
    : state_(new State{{caption, static_cast<UINT>(interval_ms)}}) {}

Window::~Window() {
  if (state_->window != nullptr) ::DestroyWindow(state_->window);
  delete state_;
}

void Window::hide() {
  if (state_->window != nullptr) ::ShowWindow(state_->window, SW_HIDE);
}

void Window::unload() {
  if (!state_->loaded) return;
  state_->loaded = false;
  if (state_->window != nullptr) {
    ::DestroyWindow(state_->window);  // its WM_DESTROY ends the message loop
    return;
  }
  if (state_->thread_timer != 0) ::KillTimer(nullptr, state_->thread_timer);
  ::PostQuitMessage(0);
}

void Window::run(WindowEvents& events, FollowUp& follow_up) {
  state_->events = &events;
  state_->follow_up = &follow_up;
  state_->window = create_form(state_->caption, state_);
  if (state_->window == nullptr ||
      ::SetTimer(state_->window, timer_id, state_->interval_ms, nullptr) == 0) {
    // No desktop to create the window on (a service session, Wine without a
    // display): a thread timer needs no window and ticks just the same.
    if (state_->window != nullptr) {
      // Its WM_DESTROY posts WM_QUIT, which must not end the loop below.
      ::DestroyWindow(state_->window);
      MSG quit{};
      ::PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
    }
    state_->window = nullptr;
    state_->thread_timer = ::SetTimer(nullptr, 0, state_->interval_ms, nullptr);
  }
  state_->loaded = true;
  events.load();

  MSG message{};
  while (state_->loaded && (state_->window != nullptr || state_->thread_timer != 0)) {
    const BOOL got = ::GetMessageA(&message, nullptr, 0, 0);
    if (got == 0) return;  // WM_QUIT: the window was unloaded
    if (got < 0) break;    // the queue failed: go on without it
    if (message.hwnd == nullptr && message.message == WM_TIMER) {
      state_->tick();
      continue;
    }
    ::TranslateMessage(&message);
    ::DispatchMessageA(&message);
  }
  // Neither a window nor a timer: check every interval by sleeping between.
  while (state_->loaded) {
    ::Sleep(state_->interval_ms);
    state_->tick();
  }
}

}  // namespace lull::platform
