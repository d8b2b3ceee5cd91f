#!/usr/bin/python3
"""Drives the host's window through its accessibility tree, as a screen reader would.

    ui_driver.py STEP [ARG ...] [-- STEP [ARG ...]] ...

Steps (NAME matches an accessible name exactly, or its start when it ends in '*'):
    page NAME                 clicks the page tab NAME
    set-text NAME TEXT        replaces the text of the editable field NAME
    toggle NAME               toggles the switch NAME
    click NAME                clicks the button NAME
    expect-checked NAME 0|1 SECONDS   waits until the switch NAME is (not) on and settled (sensitive)
    expect-text TEXT SECONDS  waits until a visible label's text contains TEXT; prints it
    expect-no-text TEXT       fails when a label's text contains TEXT
    text DESCRIPTION          prints the text of the label with that accessible description
    window TITLE 0|1 SECONDS  waits until the window TITLE is shown (1) or not (0)
    close-window TITLE        closes the window TITLE, as its close button does

Each failing step prints why and ends with status 1; the tree is read afresh for every step.
"""
import sys
import time

import pyatspi


def application():
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        for app in pyatspi.Registry.getDesktop(0):
            if app is not None and app.name == "proxyhost":
                return app
        time.sleep(0.2)
    fail("the host is not in the accessibility tree")


def fail(why):
    print("ui_driver: " + why, file=sys.stderr)
    sys.exit(1)


def nodes(node):
    yield node
    try:
        children = list(node)
    except Exception:
        return  # gone while it was read: the interface rebuilt that part
    for child in children:
        if child is not None:
            yield from nodes(child)


def matches(node, name):
    try:
        actual = node.name or ""
    except Exception:
        return False
    return actual.startswith(name[:-1]) if name.endswith("*") else actual == name


def find(roles, name, seconds=10):
    deadline = time.monotonic() + seconds
    while True:
        for node in nodes(application()):
            try:
                if node.getRoleName() in roles and matches(node, name):
                    return node
            except Exception:
                continue
        if time.monotonic() > deadline:
            fail("no %s named %r" % (" or ".join(roles), name))
        time.sleep(0.2)


def act(node, action):
    actions = node.queryAction()
    for i in range(actions.nActions):
        if actions.getName(i) == action:
            actions.doAction(i)
            return
    fail("%r has no action %r" % (node.name, action))


def description(node):
    try:
        return node.description or ""
    except Exception:
        return ""


def text_of(node):
    try:
        text = node.queryText()
        return text.getText(0, text.characterCount)
    except NotImplementedError:
        return node.name or ""


def labels():
    for node in nodes(application()):
        try:
            if node.getRoleName() == "label" and node.getState().contains(pyatspi.STATE_VISIBLE):
                yield text_of(node)
        except Exception:
            continue


def checked(node):
    return node.getState().contains(pyatspi.STATE_CHECKED)


def sensitive(node):
    return node.getState().contains(pyatspi.STATE_SENSITIVE)


def wait(condition, seconds, why):
    deadline = time.monotonic() + float(seconds)
    while time.monotonic() < deadline:
        try:
            result = condition()
        except Exception:
            result = None  # a node went away while it was read (the interface rebuilt it): look again
        if result:
            return result
        time.sleep(0.2)
    fail(why())


def run(step, args):
    if step == "page":
        act(find(["page tab"], args[0]), "click")
    elif step == "set-text":
        # Set, then read back until the field holds it: the next step (a toggle that sends the form)
        # must find the new text, also when the application is slow to take it.
        def holds():
            node = find(["text", "spin button"], args[0])
            if text_of(node) == args[1]:
                return True
            node.queryEditableText().setTextContents(args[1])
            return False
        wait(holds, 15, lambda: "%r does not take %r" % (args[0], args[1]))
    elif step == "toggle":
        # A busy switch (a change in flight) is insensitive: wait until it takes a new one.
        wait(lambda: sensitive(find(["check box", "toggle button"], args[0])), 60,
             lambda: "%r stays busy" % args[0])
        act(find(["check box", "toggle button"], args[0]), "toggle")
    elif step == "click":
        act(find(["push button"], args[0]), "click")
    elif step == "expect-checked":
        want = args[1] == "1"
        node = lambda: find(["check box"], args[0])
        wait(lambda: checked(node()) == want and sensitive(node()), args[2],
             lambda: "%r is not %s; labels: %r" % (args[0], "on" if want else "off", list(labels())))
    elif step == "expect-text":
        found = wait(lambda: next((t for t in labels() if args[0] in t), None), args[1],
                     lambda: "no label says %r; labels: %r" % (args[0], list(labels())))
        print(found)
    elif step == "expect-no-text":
        found = next((t for t in labels() if args[0] in t), None)
        if found:
            fail("a label says %r" % found)
    elif step == "text":
        # A label is found by its description: its name is its text. Rows are rebuilt while the tree
        # is read (results arrive, the list sorts): a node gone meanwhile is passed over.
        def described():
            for node in nodes(application()):
                try:
                    if node.getRoleName() == "label" and description(node) == args[0]:
                        return (text_of(node),)
                except Exception:
                    continue
            return None
        print(wait(described, 10, lambda: "no label described as %r" % args[0])[0])
    elif step == "window":
        want = args[1] == "1"

        def shown():
            for node in application():
                try:
                    if node is not None and node.getRoleName() == "frame" and node.name == args[0]:
                        if node.getState().contains(pyatspi.STATE_SHOWING):
                            return True
                except Exception:
                    continue  # a window that went away while it was read
            return False
        wait(lambda: shown() == want, args[2], lambda: "the window %r is %sshown" % (args[0], "not " if want else ""))
    elif step == "close-window":
        act(find(["frame"], args[0]), "window.close")
    else:
        fail("unknown step " + step)


def main(argv):
    steps, current = [], []
    for arg in argv:
        if arg == "--":
            steps.append(current)
            current = []
        else:
            current.append(arg)
    steps.append(current)
    for step in steps:
        if step:
            run(step[0], step[1:])
    sys.stdout.flush()


if __name__ == "__main__":
    main(sys.argv[1:])
