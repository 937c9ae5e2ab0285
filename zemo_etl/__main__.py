from zemo_etl.cli import main

raise SystemExit(main())
