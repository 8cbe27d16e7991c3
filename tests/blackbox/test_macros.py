"""Paths of start-up and stage hooks: macros and relative paths resolve against the
application directory."""
from test_notify import sleeper_bat


def test_hook_paths_resolve(make_product):
    product = make_product({"UpdateEventWaitClose": {"UpdateStartup": "hooks/rel.bat",
                                                     "UpdateNone": "{app}\\hooks\\\\macro.bat"},
                            "UpdateEvent": {"UpdateNone": "{App}\\hooks\\never.bat"}})
    hooks = product.app_dir / "hooks"
    hooks.mkdir(parents=True)
    rel = sleeper_bat(hooks, "rel", 0)
    macro = sleeper_bat(hooks, "macro", 0)
    never = sleeper_bat(hooks, "never", 0)
    assert product.run("/emptytemp") == 0
    assert rel.exists() and macro.exists()
    log = product.log()
    assert "]Run file[rel.bat]\r\n" in log and "]Run file[macro.bat]\r\n" in log
    assert log.index("Run file[rel.bat]") < log.index("Run file[macro.bat]")
    # Macro names are case-sensitive: {App} is no macro, so never.bat is not found. Its stage
    # starts the [UpdateEvent] hook before the [UpdateEventWaitClose] one, and a hook that
    # starts logs "Run file" first: macro.bat's line shows the point was passed.
    assert "Run file[never.bat]" not in log
    assert not never.exists()
