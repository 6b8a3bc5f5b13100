// Lock keys under X11: lock states are read from the XKB indicators (what
// the keyboard LEDs show) and taps are synthesised with XTest.
//
// Scroll Lock needs care: the usual X keymap binds Scroll_Lock to no
// modifier, so tapping it changes no state and its LED never lights. For the
// length of the run the key is bound to a free modifier (its XKB
// interpretation then locks that modifier and drives the "Scroll Lock"
// indicator); the original modifier map is put back afterwards, also when a
// signal ends the run early. If no modifier is free, the indicator is set
// explicitly instead.
#include "lock_keys.h"
#include "posix_pacer.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <cstdlib>

namespace kbflash {
namespace {

// A failing request (for example a modifier map another client changed)
// must not end the process with the keymap still altered.
int ignoreXError(Display*, XErrorEvent*)
{
    return 0;
}

struct DisplayCloser {
    void operator()(Display* d) const { XCloseDisplay(d); }
};
struct ModmapFree {
    void operator()(XModifierKeymap* m) const { XFreeModifiermap(m); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;
using ModmapPtr = std::unique_ptr<XModifierKeymap, ModmapFree>;

int indexOf(Key key)
{
    return static_cast<int>(key);
}

class X11LockKeys final : public LockKeys {
public:
    explicit X11LockKeys(DisplayPtr display) : dpy_(std::move(display))
    {
        const KeySym syms[3] = {XK_Caps_Lock, XK_Num_Lock, XK_Scroll_Lock};
        const char* names[3] = {"Caps Lock", "Num Lock", "Scroll Lock"};
        for (int i = 0; i < 3; ++i) {
            codes_[i] = XKeysymToKeycode(dpy_.get(), syms[i]);
            indicators_[i] = XInternAtom(dpy_.get(), names[i], False);
        }
    }

    ~X11LockKeys() override { unbindScrollLock(); }

    bool hasKey(Key key) const { return codes_[indexOf(key)] != 0; }

    // Makes Scroll Lock drive its LED; see the file comment.
    void prepareScrollLock()
    {
        const KeyCode sc = codes_[indexOf(Key::Scroll)];
        if (sc == 0) {
            scrollByIndicator_ = true;
            return;
        }
        ModmapPtr current(XGetModifierMapping(dpy_.get()));
        if (!current) {
            scrollByIndicator_ = true;
            return;
        }
        const int per = current->max_keypermod;
        for (int i = 0; i < 8 * per; ++i)
            if (current->modifiermap[i] == sc)
                return; // the user's keymap already binds it: leave it alone

        int freeRow = -1;
        for (int row : {Mod3MapIndex, Mod5MapIndex, Mod4MapIndex, Mod1MapIndex, Mod2MapIndex}) {
            bool empty = true;
            for (int j = 0; j < per; ++j)
                empty = empty && current->modifiermap[row * per + j] == 0;
            if (empty) {
                freeRow = row;
                break;
            }
        }
        if (freeRow < 0) {
            scrollByIndicator_ = true;
            return;
        }
        ModmapPtr bound(XInsertModifiermapEntry(XGetModifierMapping(dpy_.get()), sc, freeRow));
        if (!bound || !setModifierMapping(bound.get())) {
            scrollByIndicator_ = true;
            return;
        }
        savedModmap_ = std::move(current);
        boundRowMask_ = 1u << freeRow;
    }

    bool getToggle(Key key) override
    {
        int ndx = 0;
        Bool on = False;
        if (!XkbGetNamedIndicator(dpy_.get(), indicators_[indexOf(key)], &ndx, &on, nullptr, nullptr))
            return false;
        return on;
    }

    void tap(Key key) override
    {
        const bool explicitLed = key == Key::Scroll && scrollByIndicator_;
        const bool wasOn = explicitLed && getToggle(key);
        if (KeyCode code = codes_[indexOf(key)]) {
            XTestFakeKeyEvent(dpy_.get(), code, True, CurrentTime);
            XTestFakeKeyEvent(dpy_.get(), code, False, CurrentTime);
        }
        if (explicitLed)
            XkbSetNamedIndicator(dpy_.get(), indicators_[indexOf(key)], True, !wasOn, False, nullptr);
        // Wait until the server has acted on the tap, so the next reading of
        // an indicator and the timing of the pattern are both exact.
        XSync(dpy_.get(), False);
    }

    bool sleepMs(unsigned ms) override { return sleepUnlessStopped(ms); }
    void write(std::string_view text) override { writeOut(text); }

private:
    // The server refuses a new modifier map while a key of a changed
    // modifier is held down; retry for a short while.
    bool setModifierMapping(XModifierKeymap* map)
    {
        for (int attempt = 0; attempt < 40; ++attempt) {
            const int rc = XSetModifierMapping(dpy_.get(), map);
            if (rc == MappingSuccess)
                return true;
            if (rc != MappingBusy)
                return false;
            sleepShort(25);
        }
        return false;
    }

    void unbindScrollLock()
    {
        if (!savedModmap_)
            return;
        // A modifier lock left on would outlive the binding with no key to
        // release it (and keep the LED lit): clear it first.
        XkbStateRec state{};
        if (XkbGetState(dpy_.get(), XkbUseCoreKbd, &state) == Success && (state.locked_mods & boundRowMask_))
            XkbLockModifiers(dpy_.get(), XkbUseCoreKbd, boundRowMask_, 0);
        setModifierMapping(savedModmap_.get());
        XSync(dpy_.get(), False);
        savedModmap_.reset();
    }

    DisplayPtr dpy_;
    KeyCode codes_[3]{};
    Atom indicators_[3]{};
    ModmapPtr savedModmap_;
    unsigned boundRowMask_ = 0;
    bool scrollByIndicator_ = false;
};

} // namespace

std::unique_ptr<LockKeys> openLockKeys(std::string& error)
{
    const char* name = std::getenv("DISPLAY");
    if (!name || !*name) {
        error = "no X display: DISPLAY is not set";
        return nullptr;
    }
    DisplayPtr dpy(XOpenDisplay(name));
    if (!dpy) {
        error = std::string("cannot open X display \"") + name + "\"";
        return nullptr;
    }
    int opcode = 0, event = 0, xkbError = 0, major = XkbMajorVersion, minor = XkbMinorVersion;
    if (!XkbQueryExtension(dpy.get(), &opcode, &event, &xkbError, &major, &minor)) {
        error = "the X server has no XKB extension";
        return nullptr;
    }
    int tEvent = 0, tError = 0, tMajor = 0, tMinor = 0;
    if (!XTestQueryExtension(dpy.get(), &tEvent, &tError, &tMajor, &tMinor)) {
        error = "the X server has no XTEST extension";
        return nullptr;
    }
    XSetErrorHandler(ignoreXError);
    installStopHandlers();

    auto keys = std::make_unique<X11LockKeys>(std::move(dpy));
    if (!keys->hasKey(Key::Caps) || !keys->hasKey(Key::Num)) {
        error = "the keymap has no Caps_Lock or Num_Lock key";
        return nullptr;
    }
    keys->prepareScrollLock();
    return keys;
}

} // namespace kbflash
