-- ks2 on each Mac, for osquery (read-only): the installed version and its
-- references, whether an interrupted install or update waits for repair,
-- whether the daemon's property list is in place, and the verdict of the last
-- install or uninstall. `kestrun status` on the Mac tells the rest.
SELECT
  (SELECT value FROM plist
     WHERE path = '/Library/Application Support/com.quendalore/ks2/inst.plist'
       AND key = 'Version') AS version,
  (SELECT value FROM plist
     WHERE path = '/Library/Application Support/com.quendalore/ks2/inst.plist'
       AND key = 'ReferenceCounter') AS reference_counter,
  (SELECT COUNT(*) FROM file
     WHERE path = '/Library/Application Support/com.quendalore/ks2.pending') AS interrupted,
  (SELECT COUNT(*) FROM file
     WHERE path = '/Library/LaunchDaemons/com.quendalore.ks2.plist') AS daemon_plist,
  (SELECT value FROM plist
     WHERE path = '/Library/Application Support/com.quendalore/ks2.last-run.plist'
       AND key = 'Result') AS last_result,
  (SELECT value FROM plist
     WHERE path = '/Library/Application Support/com.quendalore/ks2.last-run.plist'
       AND key = 'Verdict') AS last_verdict;
